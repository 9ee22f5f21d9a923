// The KorvelProvider program: installer ("-Service"), uninstaller
// ("-UnregServer") and, without a switch, the local server that hosts the
// provider class, as a systemd service or as a plain process.
#pragma once

#include <string>

#include "Logger.h"
#include "com.h"
#include "vss.h"

extern const GUID APPID_KorvelProvider;
extern const GUID LIBID_KorvelProviderLib;
extern const VSS_ID KORVEL_VSS_PROVIDER_ID;
extern const VSS_ID KORVEL_VSS_PROVIDER_VERSION_ID;

constexpr const char* kServiceName = "KorvelProvider";  // also the event source and message-box caption
constexpr const char* kServiceDescription = "VSS Hardware Provider for Korvel Quellstore";
constexpr const char* kProviderLogFile = "KorvelVSSProvider.log";
constexpr const char* kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KorvelProvider";
constexpr const char* kEventMessageFile = "%SystemRoot%\\System32\\EventTexts.dll";

// HKEY_CLASSES_ROOT\AppID\{F03BCDCC-...}: "LocalService" there makes the
// server run as a service.
std::string KorvelAppIdKey();

struct KorvelLogConfig {
    bool tracing = true;
    int level = KLOG_INFO;  // as configured; the logger's levels are 0 to 4
    int idleSeconds = 600;  // "ConnectionIdleSeconds": the local server closes a connection idle longer
};

// Tracing, level and the connection idle limit from
// HKLM\SOFTWARE\Korvel\HwProvider; tracing on at level 2 and 600 s where the
// key or a value is missing (or the limit is no number from 1 to 86400).
KorvelLogConfig GetLogConfig();

enum class KorvelSwitch { None, Service, UnregServer };

// The first "Service" or "UnregServer" switch after a "-" or "/", compared
// case-insensitively as a whole word; other words are skipped.
KorvelSwitch FindSwitch(const std::string& commandLine);

// Carries out a switch: `run` comes back true when there is none. The result
// is the program's exit code when it does not run.
HRESULT ParseCommandLine(const std::string& commandLine, bool& run);

// The steps of "-Service" and "-UnregServer".
HRESULT RegisterServiceAppId();
HRESULT UnregisterServiceAppId();
HRESULT RegisterServer();    // the COM class and the type library
HRESULT UnregisterServer();  // removes both; absent records are no failure
void RegisterKorvelProvider();
void UnregisterKorvelProvider();
void ConfigureAndStartService();
void AddEventSource();

// Runs the local server until it is told to stop (service) or its last
// client has gone (plain process); returns the exit code.
int RunServer(const KorvelLogConfig& config);

// The local server keeps the access library's process-wide transport from
// its start to its end: the provider's OnLoad and OnUnload then leave it
// alone, so one client's OnUnload cannot pull it from under the calls of
// others. Defined with the provider class, whose notifications ask.
void KorvelHoldTransportForProcess();

int KorvelProviderMain(int argc, char** argv);
