#include "RegToolEnv.h"

#include <stdexcept>

#include "icmp.h"
#include "registry.h"

namespace korvel_test {

std::string StoreKey() { return "SOFTWARE\\Korvel\\HwProvider"; }

std::string EntryKey(const std::string& name) { return StoreKey() + "\\" + name; }

namespace {

HKEY Create(const std::string& keyPath) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create " + keyPath);
    return key;
}

}  // namespace

void CreateKey(const std::string& keyPath) { RegCloseKey(Create(keyPath)); }

void WriteText(const std::string& keyPath, const std::string& valueName, const std::string& text) {
    HKEY key = Create(keyPath);
    LONG rc = RegSetValueExA(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) throw std::runtime_error("cannot write " + valueName);
}

std::optional<std::string> ReadText(const std::string& keyPath, const std::string& valueName) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::nullopt;
    std::string buffer(4096, '\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    LONG rc = RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    return std::string(buffer.c_str());
}

bool KeyExists(const std::string& keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::string IcmpUnavailableReason() {
    HANDLE handle = IcmpCreateFile();
    if (handle != INVALID_HANDLE_VALUE) {
        IcmpCloseHandle(handle);
        return "";
    }
    return "no ICMP echo here: neither a ping socket (net.ipv4.ping_group_range) nor a raw socket is permitted";
}

}  // namespace korvel_test
