// The Logger for the test programs that the Windows check builds. Logger's
// own implementation (src/vss/Logger) is Linux-only: log folder modes, the
// syslog socket, POSIX file rotation. Here a line is formatted as the real
// one formats it and goes to standard error when logging was enabled, so a
// format that would crash still crashes the test.
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "Logger.h"

namespace {

bool g_enabled = false;
int g_level = KLOG_INFO;

void Emit(const char* kind, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size < 0) return;
    std::vector<char> text(static_cast<size_t>(size) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    std::fprintf(stderr, "%s %s\n", kind, text.data());
}

}  // namespace

void Logger::Initialize(const std::string&, SeverityCode level, bool enabled) {
    g_level = level;
    g_enabled = enabled;
}

void Logger::Write(int level, const char* component, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (g_enabled && level <= g_level) Emit(component, format, args);
    va_end(args);
}

void Logger::EventLog(int, int, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (g_enabled) Emit("event", format, args);
    va_end(args);
}

void Logger::CloseStream() {}

void Logger::RemoveLogDirectory() {}
