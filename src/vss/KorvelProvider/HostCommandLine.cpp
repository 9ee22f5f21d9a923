// The program's start: log configuration, command line, and what it asks for.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KorvelProvider.h"
#include "KorvelProviderHost.h"
#include "KorvelStore.h"
#include "registry.h"

namespace {

constexpr size_t kValueBuffer = 256;

// A value read into the fixed buffer, zero-terminated one byte past its end
// whatever the stored bytes hold. False when the value is missing or larger.
bool ReadSetting(HKEY key, const char* name, char (&buffer)[kValueBuffer + 1]) {
    std::memset(buffer, 0, sizeof buffer);
    DWORD size = kValueBuffer;
    return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsWordEnd(char c) { return c == '\0' || IsBlank(c); }

// The word at `text` equals `word`, ignoring letter case, and ends there.
bool WordEquals(const char* text, const char* word) {
    for (; !IsWordEnd(*text) && *word != '\0'; ++text, ++word) {
        if (std::toupper(static_cast<unsigned char>(*text)) != std::toupper(static_cast<unsigned char>(*word)))
            return false;
    }
    return IsWordEnd(*text) && *word == '\0';
}

}  // namespace

KorvelLogConfig GetLogConfig() {
    Logger::Write(KLOG_DEBUG, kProviderComponent, "Entering GetLogConfig()");
    KorvelLogConfig config;
    KorvelRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Korvel::kStoreKey, 0, KEY_READ, key.out()) == ERROR_SUCCESS) {
        char buffer[kValueBuffer + 1];
        // Exactly "Enabled" with its terminating zero; any other text turns tracing off.
        if (ReadSetting(key.get(), "Tracing", buffer)) config.tracing = std::memcmp(buffer, "Enabled", 8) == 0;
        if (ReadSetting(key.get(), "LogLevel", buffer)) {
            // Decimal text; what does not fit an int is clamped rather than undefined.
            long level = std::strtol(buffer, nullptr, 10);
            if (level > INT_MAX) level = INT_MAX;
            if (level < INT_MIN) level = INT_MIN;
            config.level = static_cast<int>(level);
        }
        if (ReadSetting(key.get(), "ConnectionIdleSeconds", buffer)) {
            char* end = nullptr;
            const long seconds = std::strtol(buffer, &end, 10);
            if (end != buffer && *end == '\0' && seconds >= 1 && seconds <= 24 * 3600)
                config.idleSeconds = static_cast<int>(seconds);
        }
    }
    Logger::Write(KLOG_DEBUG, kProviderComponent, "Exiting GetLogConfig()");
    return config;
}

KorvelSwitch FindSwitch(const std::string& commandLine) {
    const char* text = commandLine.c_str();
    // Each introducer starts a word; scanning goes on right after it, so an
    // introducer inside a skipped word starts the next candidate.
    for (const char* p = std::strpbrk(text, "-/"); p != nullptr; p = std::strpbrk(p, "-/")) {
        ++p;
        if (WordEquals(p, "UnregServer")) return KorvelSwitch::UnregServer;
        if (WordEquals(p, "Service")) return KorvelSwitch::Service;
    }
    return KorvelSwitch::None;
}

HRESULT ParseCommandLine(const std::string& commandLine, bool& run) {
    Logger::Write(KLOG_DEBUG, kProviderComponent, "Entering ParseCommandLine()");
    run = false;
    HRESULT hr = S_OK;
    switch (FindSwitch(commandLine)) {
        case KorvelSwitch::Service:
            hr = RegisterServiceAppId();
            if (SUCCEEDED(hr)) {
                hr = RegisterServer();
                // Whatever became of the class registration.
                RegisterKorvelProvider();
                ConfigureAndStartService();
                AddEventSource();
            }
            break;
        case KorvelSwitch::UnregServer:
            hr = UnregisterServer();
            if (SUCCEEDED(hr)) {
                hr = UnregisterServiceAppId();
                UnregisterKorvelProvider();
                Logger::CloseStream();
                Logger::RemoveLogDirectory();
            }
            break;
        case KorvelSwitch::None: run = true; break;
    }
    Logger::Write(KLOG_DEBUG, kProviderComponent, "Exiting ParseCommandLine()");
    return hr;
}

namespace {

constexpr const char* kUsage =
    "Usage: KorvelProvider [-Service | -UnregServer]\n"
    "The Korvel hardware snapshot provider's local server.\n"
    "\n"
    "  -Service      register the provider, write the systemd unit KorvelProvider.service, enable and start it\n"
    "  -UnregServer  stop and remove the service, the registration and the log folder\n"
    "  --help        print this help and exit\n"
    "  --version     print the version and exit\n"
    "\n"
    "Without a switch it runs the local server: as the service when registered so, otherwise until its last\n"
    "client has gone. Switches start with \"-\" or \"/\" and are matched in any letter case.\n"
    "\n"
    "Environment:\n"
    "  KORVEL_REGISTRY_ROOT    the configuration store (default /var/lib/korvel/registry)\n"
    "  KORVEL_LOG_DIR          the log folder (default /var/log/korvel)\n"
    "  KORVEL_SYSTEMD_DIR      where the unit is written (default /etc/systemd/system)\n"
    "  KORVEL_PROVIDER_SOCKET  the local server's socket (default /run/korvel/KorvelProvider.sock)\n";

}  // namespace

int KorvelProviderMain(int argc, char** argv) {
    // Help and version are printed before anything else: no log folder, no store, no service.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("KorvelProvider %s\n", KORVEL_VERSION);
            return 0;
        }
    }
    const KorvelLogConfig config = GetLogConfig();
    // Beyond the most verbose level everything is written; below the least, nothing.
    Logger::Initialize(kProviderLogFile, static_cast<SeverityCode>(std::clamp(config.level, 0, 4)),
                       config.tracing && config.level >= 0);
    std::string commandLine;
    for (int i = 1; i < argc; ++i) commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
    bool run = false;
    HRESULT hr = ParseCommandLine(commandLine, run);
    return run ? RunServer(config) : static_cast<int>(hr);
}
