#include "Utilities.h"

#include <cctype>
#include <cstring>

#include "KConventions.h"
#include "KorvelAccessLibrary.h"
#include "KorvelStore.h"
#include "registry.h"

namespace Korvel {
namespace Utilities {

namespace {

// The readers' buffer sizes bound names and values: a value of 256 bytes
// (255 characters plus the terminator) is read whole; a larger one is a read
// failure.
constexpr DWORD kNameBufferSize = 256;
constexpr DWORD kValueBufferSize = 256;

// Reads value `valueName` of the appliance subkey `arrayName` into `value`.
// Null when it did, otherwise what failed.
const char* ReadArrayValue(const std::string& arrayName, const char* valueName, std::string& value) {
    KorvelRegKey key;
    const std::string path = StoreEntryKey(arrayName);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS)
        return "Failed to open registry key";
    char buffer[kValueBufferSize] = {};
    DWORD size = kValueBufferSize;
    if (RegQueryValueExA(key.get(), valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size) !=
        ERROR_SUCCESS)
        return "Failed to get config value from registry";
    // Text up to the first zero byte; a value that fills the buffer without
    // one must not be read past its end.
    value.assign(buffer, strnlen(buffer, size));
    return nullptr;
}

}  // namespace

int GetArrayIPList(std::vector<std::string>& arrayIPs) {
    KLOG(KLOG_DEBUG, "Entering Utilities::GetArrayIPList()");
    LoggedOnFailure([&] {
        KorvelRegKey key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStoreKey, 0, KEY_READ, key.out()) != ERROR_SUCCESS)
            throw KException("Failed to open registry key");
        DWORD subKeys = 0;
        if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            throw KException("Failed to query the registry key");
        if (subKeys == 0) KLOG(KLOG_INFO, "No Subkeys found");
        char name[kNameBufferSize];
        for (DWORD index = 0; index < subKeys; ++index) {
            std::memset(name, 0, sizeof name);
            DWORD length = kNameBufferSize;
            if (RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                throw KException("Failed to enumerate registry keys");
            arrayIPs.emplace_back(name, strnlen(name, sizeof name));
        }
    });
    KLOG(KLOG_DEBUG, "Exiting Utilities::GetArrayIPList() with return code %d", 0);
    return 0;
}

int GetArrayConfigData(std::string& arrayName, std::string& valueName, std::string& value) {
    KLOG(KLOG_DEBUG, "Entering Utilities::GetArrayConfigData()");
    LoggedOnFailure([&] {
        if (const char* failure = ReadArrayValue(arrayName, valueName.c_str(), value)) throw KException(failure);
    });
    KLOG(KLOG_DEBUG, "Exiting Utilities::GetArrayConfigData() with return code %d", 0);
    return 0;
}

bool GetArrayCertificatePin(const std::string& arrayName, std::string& pin) {
    return ReadArrayValue(arrayName, "CertificatePin", pin) == nullptr;
}

bool IsCertificatePin(const std::string& pin) {
    static const std::string prefix = "sha256//";
    // 32 bytes in base64: 43 characters and one '='.
    if (pin.size() != prefix.size() + 44 || pin.compare(0, prefix.size(), prefix) != 0 || pin.back() != '=')
        return false;
    for (size_t i = prefix.size(); i + 1 < pin.size(); ++i) {
        const char c = pin[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/') return false;
    }
    return true;
}

}  // namespace Utilities
}  // namespace Korvel
