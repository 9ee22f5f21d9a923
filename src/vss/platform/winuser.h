// Message boxes. A service host has no desktop on Linux: the box's caption
// and text go to standard error, and the answer is always IDOK.
#pragma once

#include "wintypes.h"

typedef void* HWND;

#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define IDOK 1

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
