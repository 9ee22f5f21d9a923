// The Windows side of tests/common/TestEnv.h for the test programs that the
// Windows check builds: a temporary folder and the process environment. The
// rest of TestEnv.cpp (log files, network namespaces) is POSIX-only.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "TestEnv.h"

namespace korvel_test {

TempDir::TempDir() {
    static std::atomic<unsigned> serial{0};
    const auto base = std::filesystem::temp_directory_path();
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto path = base / ("korvel-test-" + std::to_string(stamp) + "-" + std::to_string(serial++));
        std::error_code ec;
        if (std::filesystem::create_directory(path, ec)) {
            m_path = path.string();
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void SetEnvironment(const char* name, const char* value) {
    // An empty value removes the variable, as _putenv_s does for the C library's copy.
    _putenv_s(name, value != nullptr ? value : "");
}

}  // namespace korvel_test
