// Demo: lists the appliances recorded in the configuration store, read
// through the access library's configuration readers.
#include <cstdio>
#include <string>
#include <vector>

#include "KorvelAccessLibrary.h"
#include "Logger.h"
#include "Utilities.h"

int main() {
    Logger::Initialize("korvel-demo.log", SEVERITY_INFO, true);
    std::vector<std::string> arrays;
    try {
        Korvel::Utilities::GetArrayIPList(arrays);
        std::printf("Configured appliances: %zu\n", arrays.size());
        for (auto& ip : arrays) {
            std::string valueName = "AccessKey", key;
            Korvel::Utilities::GetArrayConfigData(ip, valueName, key);
            std::printf("  %s (access key of %zu characters)\n", ip.c_str(), key.size());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
