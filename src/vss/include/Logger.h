// Interface of the outside logging library shared by the provider, the
// registration tool and the access library.
#pragma once

#include <cstdlib>
#include <string>

#include "export.h"

#ifdef LOGGER_BUILD
#define LOGGER_API KORVEL_SYMBOL_EXPORT
#else
#define LOGGER_API KORVEL_SYMBOL_IMPORT
#endif

// Levels grow with verbosity: a line is written when its level is at most
// the configured one. The names are our own: winerror.h defines
// SEVERITY_ERROR and SEVERITY_SUCCESS as macros with other values.
enum SeverityCode { KLOG_ERROR = 0, KLOG_WARNING = 1, KLOG_INFO = 2, KLOG_DEBUG = 3, KLOG_TRACE = 4 };

// Where the log is kept, for the log itself and for readers of its events.
namespace KorvelLog {
constexpr const char kDefaultFolder[] = "/var/log/korvel";
constexpr const char kEventsFileName[] = "KorvelProvider.events.log";
// The component the provider and its host write their lines under.
constexpr const char kProviderComponent[] = "Korvel.VssProvider";
// KORVEL_LOG_DIR, or the default folder when it is unset or empty.
inline std::string Folder() {
    const char* folder = std::getenv("KORVEL_LOG_DIR");
    return folder != nullptr && *folder != '\0' ? folder : kDefaultFolder;
}
inline std::string EventsFilePath() { return Folder() + "/" + kEventsFileName; }
}  // namespace KorvelLog

class LOGGER_API Logger {
public:
    // Opens fileName in the log folder (KORVEL_LOG_DIR, default /var/log/korvel).
    // enabled false turns line logging off; event entries are always written.
    static void Initialize(const std::string& fileName, SeverityCode level, bool enabled);

    static void Write(int level, const char* component, const char* format, ...) KORVEL_PRINTF_FORMAT(3, 4);

    // type: 1 error, 2 warning, 4 information. Goes to syslog (the socket
    // KORVEL_SYSLOG_SOCKET names, default /dev/log) and to
    // KorvelProvider.events.log in the log folder.
    static void EventLog(int category, int type, int eventId, const char* format, ...) KORVEL_PRINTF_FORMAT(4, 5);

    static void CloseStream();
    // Removes the system's log files, their rotations and the events file,
    // then the log folder if nothing else is left in it.
    static void RemoveLogDirectory();

    Logger() = delete;
};
