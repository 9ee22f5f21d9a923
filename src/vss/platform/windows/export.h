// Symbol visibility for the DLLs. Each library defines its own API macro
// from these two, keyed on its own *_BUILD definition.
#pragma once

#include <stdio.h>

#define KORVEL_SYMBOL_EXPORT __declspec(dllexport)
#define KORVEL_SYMBOL_IMPORT __declspec(dllimport)

// The formats are the C library's: with mingw-w64's C99 printf family the
// checks follow GNU's rules, with the Microsoft one Microsoft's.
#if defined(__MINGW_PRINTF_FORMAT)
#define KORVEL_PRINTF_FORMAT(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#else
#define KORVEL_PRINTF_FORMAT(fmt, args)
#endif
