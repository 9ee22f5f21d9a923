#include "errors.h"

#include <cstdlib>
#include <cstring>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// The Windows texts of the codes this platform layer sets.
const char* SystemText(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS: return "The operation completed successfully.";
        case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
        case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
        case ERROR_ACCESS_DENIED: return "Access is denied.";
        case ERROR_INVALID_HANDLE: return "The handle is invalid.";
        case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
        case ERROR_NOT_SUPPORTED: return "The request is not supported.";
        case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
        case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.";
        default: return nullptr;
    }
}

}  // namespace

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD FormatMessageA(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId, DWORD /*dwLanguageId*/, LPSTR lpBuffer,
                     DWORD nSize, va_list* /*Arguments*/) {
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = SystemText(dwMessageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    // System texts end with a line break, as on Windows.
    const size_t length = std::strlen(text) + 2;
    char* out = lpBuffer;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        out = static_cast<char*>(std::malloc(length + 1));
        if (out == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<char**>(lpBuffer) = out;
    } else if (nSize < length + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, text, length - 2);
    std::memcpy(out + length - 2, "\r\n", 3);
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
