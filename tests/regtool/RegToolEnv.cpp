#include "RegToolEnv.h"

#include <stdexcept>

#include "icmp.h"
#include "registry.h"

namespace korvel_test {

std::string StoreKey() { return "SOFTWARE\\Korvel\\HwProvider"; }

std::string EntryKey(const std::string& name) { return StoreKey() + "\\" + name; }

namespace {

KorvelRegKey Create(const std::string& keyPath) {
    KorvelRegKey key;
    if (KorvelCreateKey(HKEY_LOCAL_MACHINE, keyPath, key) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create " + keyPath);
    return key;
}

}  // namespace

void CreateKey(const std::string& keyPath) { Create(keyPath); }

void WriteText(const std::string& keyPath, const std::string& valueName, const std::string& text) {
    if (KorvelSetText(Create(keyPath).get(), valueName.c_str(), text) != ERROR_SUCCESS)
        throw std::runtime_error("cannot write " + valueName);
}

std::optional<std::string> ReadText(const std::string& keyPath, const std::string& valueName) {
    KorvelRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS)
        return std::nullopt;
    std::string buffer(4096, '\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]),
                         &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::string(buffer.c_str());
}

bool KeyExists(const std::string& keyPath) {
    KorvelRegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS;
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
