// KorvelRegTool: prepares the configuration store and the log, then either
// starts a detached copy of itself with "--gui" or, in that copy, runs the
// window.
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "KorvelAccessLibrary.h"
#include "KorvelRegGUI.h"
#include "KorvelStore.h"
#include "Logger.h"
#include "RegistryOperations.h"
#include "process.h"

namespace {

constexpr const char* kMain = "main()";
constexpr const char* kGui = "Korvel.RegToolGUI";

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The system's text for an error code, without its line break.
std::string SystemText(DWORD code) {
    char* text = nullptr;
    std::string result;
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
                       nullptr) != 0) {
        result = Trim(text);
        LocalFree(text);
    }
    return result;
}

// Every operation opens the store with full access, so the tool runs only
// for whoever may write it: root, or the owner of a store kept elsewhere
// (KORVEL_REGISTRY_ROOT).
bool MayWriteStore() { return KorvelMayWriteKey(HKEY_LOCAL_MACHINE, Korvel::kStoreKey); }

// The window cannot open without a display; QApplication would abort the
// process, so this is checked first, as AfxWinInit reports its failure.
bool CanOpenWindows() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform) return true;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display && *display) || (wayland && *wayland)) return true;
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

}  // namespace

// The application object: shows the main window modally.
class CKorvelRegTool {
public:
    BOOL InitInstance() {
        Logger::Write(3, kGui, "Entering CKorvelRegTool::InitInstance()");
        {
            CKorvelRegGUI dialog;
            dialog.exec();
            Logger::Write(3, kGui, "Exiting CKorvelRegTool::InitInstance()");
        }
        // The window was the application's only one: there is no message
        // loop left to run once it has closed.
        return FALSE;
    }
};

int main(int argc, char** argv) {
    if (!MayWriteStore()) {
        std::printf("KorvelRegTool needs administrator rights: run it as root\n");
        return 1;
    }

    std::string tracing;
    bool tracingOn = false;
    const int tracingResult = GetTracing(tracing);
    if (tracingResult == KRT_NO_CONFIGURATION) {
        const int created = InitRegistryDefaults();
        if (created != KRT_SUCCESS) {
            std::printf("%s\n", GetErrorMsg(created).c_str());
            return 0;
        }
        tracingOn = true;
    } else {
        tracingOn = tracingResult == KRT_SUCCESS && tracing == "Enabled";
    }
    std::string levelText;
    int level = GetLogLevel(levelText) == KRT_SUCCESS ? std::atoi(levelText.c_str()) : KLOG_INFO;
    level = level < KLOG_ERROR ? KLOG_ERROR : level > KLOG_TRACE ? KLOG_TRACE : level;
    Logger::Initialize("KorvelRegTool.log", static_cast<SeverityCode>(level), tracingOn);

    const std::string commandLine = GetCommandLineA();
    if (argc < 2) {
        std::string relaunch = Trim(commandLine) + " --gui";
        Logger::Write(3, kMain, "Re-Launching application with GUI param: %s", relaunch.c_str());
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessA(nullptr, &relaunch[0], nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &startup,
                            &process)) {
            // Not a silent success: the administrator would see nothing at all.
            const DWORD error = GetLastError();
            Logger::Write(0, kMain, "Re-Launching application failed, GetLastError():0x%x. Details:%s", error,
                          SystemText(error).c_str());
            std::fprintf(stderr, "KorvelRegTool could not start its window: %s\n", SystemText(error).c_str());
            return 1;
        }
        Logger::Write(3, kMain, "New PID: %d", static_cast<int>(process.dwProcessId));
        return 0;
    }

    const bool gui = commandLine.find("--gui") != std::string::npos;
    Logger::Write(3, kMain, "Launch GUI flag: %s", gui ? "1" : "0");
    if (!gui) return 0;
    Logger::Write(3, kMain, "Starting Application - GUI mode");
    if (!CanOpenWindows()) {
        const DWORD error = GetLastError();
        Logger::Write(3, kMain, "Fatal Error: MFC initialization failed, GetLastError():0x%x. Details:%s", error,
                      SystemText(error).c_str());
        return 1;
    }
    try {
        Korvel::KAccessLayer::GlobalInit();
        {
            QApplication application(argc, argv);
            CKorvelRegTool tool;
            tool.InitInstance();
        }
        Korvel::KAccessLayer::GlobalCleanup();
        Logger::Write(3, kMain, "Exiting Application - GUI mode");
        return 0;
    } catch (const std::exception& e) {
        const DWORD error = GetLastError();
        Logger::Write(3, kMain, "Fatal Error: GetLastError():0x%x. Details:%s", error, SystemText(error).c_str());
        Logger::Write(0, kMain, "%s", e.what());
        return 1;
    }
}
