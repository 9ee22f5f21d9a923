// The registry helpers of korvel_registry.h that the Windows registry
// answers itself.
#include "registry.h"

// The nearest key of the path that exists must let this process set values
// and make subkeys.
bool KorvelMayWriteKey(HKEY hive, LPCSTR subKey) {
    std::string path = subKey != nullptr ? subKey : "";
    for (;;) {
        KorvelRegKey key;
        const LONG result = RegOpenKeyExA(hive, path.empty() ? nullptr : path.c_str(), 0,
                                          KEY_SET_VALUE | KEY_CREATE_SUB_KEY, key.out());
        if (result == ERROR_SUCCESS) return true;
        if (result != ERROR_FILE_NOT_FOUND || path.empty()) return false;
        const size_t backslash = path.find_last_of('\\');
        path = backslash == std::string::npos ? std::string() : path.substr(0, backslash);
    }
}
