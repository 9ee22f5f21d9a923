#include "winuser.h"

#include <cstdio>

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
    std::fprintf(stderr, "%s: %s\n", lpCaption != nullptr ? lpCaption : "Error", lpText != nullptr ? lpText : "");
    std::fflush(stderr);
    return IDOK;
}
