// The calling thread's last-error code and its system text (GetLastError,
// SetLastError, FormatMessageA with FORMAT_MESSAGE_FROM_SYSTEM, LocalFree).
#pragma once

#include <cstdarg>

#include "wintypes.h"

#define ERROR_MR_MID_NOT_FOUND 317L

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000

#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

typedef void* HLOCAL;

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// Only FORMAT_MESSAGE_FROM_SYSTEM is provided, for the codes the platform
// layer sets. With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer receives a
// pointer to a text the caller releases with LocalFree. Returns the text's
// length, 0 for an unknown code (last error ERROR_MR_MID_NOT_FOUND).
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);
HLOCAL LocalFree(HLOCAL hMem);
