// The process's command line and process creation (GetCommandLineA,
// CreateProcessA), with the Windows rules for quoting and splitting a
// command line.
#pragma once

#include "errors.h"
#include "wintypes.h"

#define DETACHED_PROCESS 0x00000008
#define CREATE_NEW_PROCESS_GROUP 0x00000200

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

// There are no process or thread handles on Linux: hProcess and hThread are
// always null, and both IDs are the new process's ID.
typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// The process's own arguments (/proc/self/cmdline), each quoted as Windows
// would need it to split them back, joined by single spaces. Valid for the
// life of the process.
LPSTR GetCommandLineA();

// Splits lpCommandLine by the Windows rules and runs the program it names
// (or lpApplicationName), found through PATH. DETACHED_PROCESS gives the new
// process a session of its own with its standard streams on /dev/null, and
// no parent to wait for it. lpEnvironment, if given, is a block of
// "NAME=value" texts each ended by a zero byte, the block by another. FALSE
// with GetLastError() set when the program cannot be started.
BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation);
