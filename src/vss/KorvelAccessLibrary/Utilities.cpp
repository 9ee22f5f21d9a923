#include "Utilities.h"

#include <cctype>
#include <cstring>
#include <memory>

#include "KorvelAccessLibrary.h"
#include "Logger.h"
#include "registry.h"

namespace Korvel {
namespace Utilities {

namespace {

constexpr const char* kComponent = "Korvel.KAccessLibrary";
constexpr const char* kStoreKey = "SOFTWARE\\Korvel\\HwProvider";
// The readers' buffer sizes bound names and values: a value of 256 bytes
// (255 characters plus the terminator) is read whole; a larger one is a read
// failure.
constexpr DWORD kNameBufferSize = 256;
constexpr DWORD kValueBufferSize = 256;

// Closes the key on every path out of a reader.
class RegKeyGuard {
public:
    RegKeyGuard() = default;
    ~RegKeyGuard() { Close(); }
    RegKeyGuard(const RegKeyGuard&) = delete;
    RegKeyGuard& operator=(const RegKeyGuard&) = delete;
    HKEY* Out() { return &m_key; }
    HKEY Get() const { return m_key; }
    void Close() {
        if (m_key != nullptr) RegCloseKey(m_key);
        m_key = nullptr;
    }

private:
    HKEY m_key = nullptr;
};

}  // namespace

int GetArrayIPList(std::vector<std::string>& arrayIPs) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering Utilities::GetArrayIPList()");
    RegKeyGuard key;
    try {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStoreKey, 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
            throw KException("Failed to open registry key");
        DWORD subKeys = 0;
        if (RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            throw KException("Failed to query the registry key");
        if (subKeys == 0) {
            Logger::Write(KLOG_INFO, kComponent, "No Subkeys found");
        } else {
            char name[kNameBufferSize];
            for (DWORD index = 0; index < subKeys; ++index) {
                std::memset(name, 0, sizeof name);
                DWORD length = kNameBufferSize;
                if (RegEnumKeyExA(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                    ERROR_SUCCESS)
                    throw KException("Failed to enumerate registry keys");
                arrayIPs.emplace_back(name, strnlen(name, sizeof name));
            }
        }
        key.Close();
    } catch (const std::exception& e) {
        key.Close();
        Logger::Write(KLOG_ERROR, kComponent, "%s", e.what());
        throw;
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting Utilities::GetArrayIPList() with return code %d", 0);
    return 0;
}

int GetArrayConfigData(std::string& arrayName, std::string& valueName, std::string& value) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering Utilities::GetArrayConfigData()");
    RegKeyGuard key;
    try {
        const std::string path = std::string(kStoreKey) + "\\" + arrayName;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.Out()) != ERROR_SUCCESS)
            throw KException("Failed to open registry key");
        std::unique_ptr<char[]> buffer(new char[kValueBufferSize]());
        DWORD size = kValueBufferSize;
        if (RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer.get()),
                             &size) != ERROR_SUCCESS)
            throw KException("Failed to get config value from registry");
        // Text up to the first zero byte; a value that fills the buffer without
        // one must not be read past its end.
        value.assign(buffer.get(), strnlen(buffer.get(), size));
        key.Close();
    } catch (const std::exception& e) {
        key.Close();
        Logger::Write(KLOG_ERROR, kComponent, "%s", e.what());
        throw;
    }
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting Utilities::GetArrayConfigData() with return code %d", 0);
    return 0;
}

bool GetArrayCertificatePin(const std::string& arrayName, std::string& pin) {
    RegKeyGuard key;
    const std::string path = std::string(kStoreKey) + "\\" + arrayName;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.Out()) != ERROR_SUCCESS) return false;
    char buffer[kValueBufferSize] = {};
    DWORD size = kValueBufferSize;
    if (RegQueryValueExA(key.Get(), "CertificatePin", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size) !=
        ERROR_SUCCESS)
        return false;
    pin.assign(buffer, strnlen(buffer, size));
    return true;
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
