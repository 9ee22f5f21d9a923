// Symbol visibility for the shared libraries. Each library defines its own
// API macro from these two, keyed on its own *_BUILD definition.
#pragma once

#if defined(_WIN32)
#define KORVEL_SYMBOL_EXPORT __declspec(dllexport)
#define KORVEL_SYMBOL_IMPORT __declspec(dllimport)
#else
#define KORVEL_SYMBOL_EXPORT __attribute__((visibility("default")))
#define KORVEL_SYMBOL_IMPORT __attribute__((visibility("default")))
#endif

#if defined(__GNUC__)
#define KORVEL_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KORVEL_PRINTF_FORMAT(fmt, args)
#endif
