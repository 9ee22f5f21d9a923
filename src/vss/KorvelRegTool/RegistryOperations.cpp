#include "RegistryOperations.h"

#include <cstring>
#include <exception>

#include "KHandle.h"
#include "KorvelAccessLibrary.h"
#include "KorvelStore.h"
#include "Logger.h"
#include "icmp.h"

namespace {

constexpr const char* kComponent = "Korvel.RegTool Implementation";
// Limits of what is read back from the store.
constexpr DWORD kSettingSize = 256;
constexpr DWORD kAccessKeySize = 512;
constexpr DWORD kNameSize = 256;
constexpr DWORD kEchoTimeoutMs = 1000;

#define RLOG(level, ...) Logger::Write(level, kComponent, __VA_ARGS__)

LONG OpenKey(KorvelRegKey& key, const std::string& path, REGSAM access) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key.out());
}

// As RegOpenKeyA opens: with the most access the caller may have.
LONG OpenKeyDefault(KorvelRegKey& key, const std::string& path) {
    return RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), key.out());
}

LONG CreateKey(KorvelRegKey& key, const std::string& path, DWORD* disposition = nullptr) {
    return KorvelCreateKey(HKEY_LOCAL_MACHINE, path, key, disposition);
}

std::string StorePath() { return Korvel::kStoreKey; }

std::string EntryPath(const std::string& name) { return Korvel::StoreEntryKey(name); }

// An entry's name is one key name: an empty one would reach the store key
// itself, one with a backslash a key below another entry.
bool IsEntryName(const std::string& name) { return !name.empty() && name.find('\\') == std::string::npos; }

// Reads a text value of at most `size` bytes, up to its first zero byte.
bool QueryText(HKEY key, const char* name, DWORD size, std::string& out) {
    std::string buffer(size, '\0');
    DWORD length = size;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]), &length) != ERROR_SUCCESS)
        return false;
    out.assign(buffer.c_str());
    return true;
}

bool ReadAccessKey(HKEY key, std::string& out) {
    RLOG(3, "Entering GetValue()");
    return QueryText(key, "AccessKey", kAccessKeySize, out);
}

// An entry's "CertificatePin"; empty when it has none.
std::string ReadCertificatePin(HKEY key) {
    std::string pin;
    if (!QueryText(key, "CertificatePin", kSettingSize, pin)) pin.clear();
    return pin;
}

// Writes the pin when there is one to record.
int SetCertificatePin(HKEY key, const std::string& pin) {
    return pin.empty() ? KRT_SUCCESS : SetValue(key, "CertificatePin", pin.c_str());
}

int GetSetting(const char* valueName, std::string& out) {
    KorvelRegKey key;
    int result = KRT_NO_CONFIGURATION;
    if (OpenKey(key, StorePath(), KEY_ALL_ACCESS) == ERROR_SUCCESS)
        result = QueryText(key.get(), valueName, kSettingSize, out) ? KRT_SUCCESS : KRT_VALUE_NOT_FOUND;
    return result;
}

// The part of "host:port" that names the host; an address with more than one
// colon is no IPv4 address and stays as it is.
std::string HostPart(const std::string& address) {
    size_t colon = address.find(':');
    if (colon == std::string::npos || address.find(':', colon + 1) != std::string::npos) return address;
    return address.substr(0, colon);
}

// The IPv4 address to ping, or INADDR_NONE when the text gives none.
IPAddr ResolveIPv4(const std::string& host) {
    IPAddr address = inet_addr(host.c_str());
    if (address != INADDR_NONE) return address;
    hostent* entry = gethostbyname(host.c_str());
    if (entry == nullptr || entry->h_addrtype != AF_INET) return INADDR_NONE;
    for (int i = 0; entry->h_addr_list[i] != nullptr; ++i) {
        in_addr candidate;
        std::memcpy(&candidate, entry->h_addr_list[i], sizeof candidate);
        address = inet_addr(inet_ntoa(candidate));
        RLOG(3, "IP Address %d: %lu", i + 1, static_cast<unsigned long>(address));
        if (address != INADDR_NONE) break;
    }
    return address;
}

class SocketsSession {
public:
    SocketsSession() : m_result(WSAStartup(MAKEWORD(2, 2), &m_data)) {}
    ~SocketsSession() {
        if (m_result == 0) WSACleanup();
    }
    SocketsSession(const SocketsSession&) = delete;
    SocketsSession& operator=(const SocketsSession&) = delete;
    int Result() const { return m_result; }

private:
    WSADATA m_data;
    int m_result;
};

// An ICMP echo handle, closed on every path.
struct IcmpHandleTraits {
    using Handle = HANDLE;
    static Handle Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Release(Handle handle) noexcept { IcmpCloseHandle(handle); }
};
using IcmpHandle = Korvel::KHandle<IcmpHandleTraits>;

}  // namespace

int SetValue(HKEY key, const char* valueName, const char* text) {
    RLOG(3, "Entering SetValue()");
    if (text != nullptr && RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                          static_cast<DWORD>(std::strlen(text) + 1)) != ERROR_SUCCESS)
        return KRT_UPDATE_VALUE_FAILED;
    RLOG(3, "Exiting SetValue()");
    return KRT_SUCCESS;
}

int InitRegistryDefaults() {
    KorvelRegKey key;
    // The caller goes on with its defaults when the store cannot be made.
    if (CreateKey(key, StorePath()) != ERROR_SUCCESS) return KRT_SUCCESS;
    std::string text;
    if (!QueryText(key.get(), "Tracing", kSettingSize, text) && SetValue(key.get(), "Tracing", "Enabled") != 0)
        return KRT_UPDATE_VALUE_FAILED;
    if (!QueryText(key.get(), "LogLevel", kSettingSize, text) && SetValue(key.get(), "LogLevel", "2") != 0)
        return KRT_UPDATE_VALUE_FAILED;
    return KRT_SUCCESS;
}

int AddKorvelArray(const std::string& arrayIP, const std::string& accessKey, const std::string& certificatePin) {
    RLOG(3, "Entering AddKorvelArray() with Parameters: KorvelArray IP: %s, AccessKey: %s", arrayIP.c_str(),
         Korvel::MaskSecret(accessKey).c_str());
    std::vector<std::string> names;
    GetKorvelArrayNames(names);
    for (const auto& name : names)
        if (name == arrayIP) return KRT_IP_IN_USE;

    KorvelRegKey key;
    int result = KRT_CREATE_KEY_FAILED;
    if (IsEntryName(arrayIP) && CreateKey(key, EntryPath(arrayIP)) == ERROR_SUCCESS) {
        result = SetValue(key.get(), "AccessKey", accessKey.c_str());
        if (result == KRT_SUCCESS) result = SetCertificatePin(key.get(), certificatePin);
    }
    key.reset();
    RLOG(3, "Exiting AddKorvelArray()");
    return result;
}

int UpdateKorvelArrayName(const std::string& oldIP, const std::string& newIP) {
    RLOG(3, "Entering UpdateKorvelArrayName(), with parameters Old KorvelArray Name: %s, New KorvelArray Name: %s",
         oldIP.c_str(), newIP.c_str());
    KorvelRegKey oldKey;
    if (!IsEntryName(oldIP) || OpenKey(oldKey, EntryPath(oldIP), KEY_ALL_ACCESS) != ERROR_SUCCESS)
        return KRT_NO_CONFIGURATION;

    std::string accessKey;
    int result = KRT_SUCCESS;
    if (!ReadAccessKey(oldKey.get(), accessKey)) {
        result = KRT_FIND_VALUE_FAILED;
    } else if (newIP != oldIP) {
        // The new entry gets the key before the old one goes, so no failure
        // can leave the appliance out of the store.
        KorvelRegKey newKey;
        DWORD disposition = 0;
        if (!IsEntryName(newIP) || CreateKey(newKey, EntryPath(newIP), &disposition) != ERROR_SUCCESS) {
            result = KRT_CREATE_KEY_FAILED;
        } else {
            // An entry already there is another appliance's: a rename that
            // does not complete must give it back its own key and pin.
            const bool existed = disposition == REG_OPENED_EXISTING_KEY;
            std::string heldKey;
            const bool heldAKey = existed && ReadAccessKey(newKey.get(), heldKey);
            const std::string heldPin = existed ? ReadCertificatePin(newKey.get()) : std::string();
            const std::string pin = ReadCertificatePin(oldKey.get());
            result = SetValue(newKey.get(), "AccessKey", accessKey.c_str());
            if (result == KRT_SUCCESS) result = SetCertificatePin(newKey.get(), pin);
            // The moved entry is unpinned: no pin of the replaced one stays.
            if (result == KRT_SUCCESS && pin.empty() && !heldPin.empty() &&
                RegDeleteValueA(newKey.get(), "CertificatePin") != ERROR_SUCCESS)
                result = KRT_UPDATE_VALUE_FAILED;
            if (result == KRT_SUCCESS) {
                RLOG(3, "Entering GetValue()");
                if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, EntryPath(oldIP).c_str()) != ERROR_SUCCESS)
                    result = KRT_REMOVE_FAILED;
            }
            if (result != KRT_SUCCESS && existed) {
                if (heldAKey)
                    SetValue(newKey.get(), "AccessKey", heldKey.c_str());
                else
                    RegDeleteValueA(newKey.get(), "AccessKey");
                if (heldPin.empty())
                    RegDeleteValueA(newKey.get(), "CertificatePin");
                else
                    SetValue(newKey.get(), "CertificatePin", heldPin.c_str());
            }
            newKey.reset();
            // A rename that did not complete leaves no half-made entry behind.
            if (result != KRT_SUCCESS && disposition == REG_CREATED_NEW_KEY)
                RegDeleteKeyA(HKEY_LOCAL_MACHINE, EntryPath(newIP).c_str());
        }
    }
    oldKey.reset();
    RLOG(3, "Exiting UpdateKorvelArrayName()");
    return result;
}

int UpdateKorvelArrayKey(const std::string& arrayIP, const std::string& accessKey, const std::string& certificatePin) {
    RLOG(3, "Entering UpdateKorvelArrayKey(), with parameters KorvelArray IP: %s, KorvelArray URL: %s", arrayIP.c_str(),
         Korvel::MaskSecret(accessKey).c_str());
    KorvelRegKey key;
    int result = KRT_NO_CONFIGURATION;
    if (IsEntryName(arrayIP) && OpenKey(key, EntryPath(arrayIP), KEY_ALL_ACCESS) == ERROR_SUCCESS) {
        result = SetValue(key.get(), "AccessKey", accessKey.c_str());
        if (result == KRT_SUCCESS) result = SetCertificatePin(key.get(), certificatePin);
    }
    key.reset();
    RLOG(3, "Exiting UpdateKorvelArrayURL()");
    return result;
}

int RemoveKorvelArray(const std::string& arrayIP) {
    RLOG(3, "Entering RemoveKorvelArray() with parameters KorvelArray Name: %s", arrayIP.c_str());
    KorvelRegKey key;
    int result = KRT_NO_CONFIGURATION;
    if (IsEntryName(arrayIP) && OpenKey(key, EntryPath(arrayIP), KEY_ALL_ACCESS) == ERROR_SUCCESS)
        result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, EntryPath(arrayIP).c_str()) == ERROR_SUCCESS ? KRT_SUCCESS
                                                                                                : KRT_REMOVE_FAILED;
    key.reset();
    RLOG(3, "Exiting RemoveKorvelArray()");
    return result;
}

namespace {

// The store's entry count, or the result code that stops the listing.
int CountEntries(KorvelRegKey& store, DWORD& count, int queryFailure) {
    if (OpenKeyDefault(store, StorePath()) != ERROR_SUCCESS) return KRT_NO_CONFIGURATION;
    count = 0;
    if (RegQueryInfoKeyA(store.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return queryFailure;
    return count == 0 ? KRT_NO_CONFIGURATION : KRT_SUCCESS;
}

// False when the entry went away since the count was taken (another
// administrator's tool may have removed it).
bool EntryName(HKEY store, DWORD index, std::string& name) {
    char buffer[kNameSize] = {0};
    DWORD length = kNameSize;
    if (RegEnumKeyExA(store, index, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
    name.assign(buffer);
    return true;
}

}  // namespace

int GetKorvelArrayNames(std::vector<std::string>& names) {
    RLOG(3, "Entering GetKorvelArrayNames()");
    KorvelRegKey store;
    DWORD count = 0;
    int result = CountEntries(store, count, KRT_KEY_NOT_FOUND);
    std::string name;
    for (DWORD i = 0; result == KRT_SUCCESS && i < count; ++i)
        if (EntryName(store.get(), i, name)) names.push_back(name);
    store.reset();
    RLOG(3, "Exiting GetKorvelArrayNames()");
    return result;
}

int GetArrayConfigInfo(std::vector<ArrayConfigInfo>& records, std::string filter) {
    RLOG(3, "Entering GetArrayConfigInfo()");
    KorvelRegKey store;
    DWORD count = 0;
    int result = CountEntries(store, count, KRT_NO_CONFIGURATION);
    if (result != KRT_SUCCESS) count = 0;
    std::string name;
    for (DWORD i = 0; i < count; ++i) {
        if (!EntryName(store.get(), i, name) || (!filter.empty() && name != filter)) continue;
        KorvelRegKey entry;
        if (OpenKey(entry, EntryPath(name), KEY_ALL_ACCESS) != ERROR_SUCCESS) {
            result = KRT_KEY_NOT_FOUND;
            continue;
        }
        ArrayConfigInfo record{name, std::string(), "no", std::string()};
        if (!ReadAccessKey(entry.get(), record.accessKey)) {
            result = KRT_FIND_VALUE_FAILED;
            continue;
        }
        record.certificatePin = ReadCertificatePin(entry.get());
        RLOG(3, "Entering GetValue()");
        try {
            // Online as the provider would find it: with its recorded certificate.
            if (IsArrayExists(name) && ValidateArrayAccess(name, record.accessKey, record.certificatePin) == 0)
                record.online = "yes";
        } catch (const std::exception& e) {
            RLOG(0, "Failed to check Array Online Status Details: %s", e.what());
        }
        records.push_back(std::move(record));
        result = KRT_SUCCESS;
    }
    store.reset();
    RLOG(3, "Exiting GetArrayConfigInfo()");
    return result;
}

bool IsArrayExists(std::string arrayIP) {
    RLOG(3, "Entering IsArrayExists()");
    SocketsSession sockets;
    if (sockets.Result() != 0) {
        RLOG(3, "WSAStartup failed: %d", sockets.Result());
        return false;
    }
    // An address with no IPv4 form answers no at once: an echo to the
    // all-ones address would be a broadcast.
    const IPAddr address = ResolveIPv4(HostPart(arrayIP));
    if (address == INADDR_NONE) {
        RLOG(3, "No IPv4 address for %s", arrayIP.c_str());
        RLOG(3, "Exiting IsArrayExists() Result: %d", 0);
        return false;
    }
    const IcmpHandle icmp(IcmpCreateFile());
    if (!icmp) {
        RLOG(3, "Unable to open IcmpCreateFile handle. ERRORCODE: %ld", static_cast<long>(GetLastError()));
        return false;
    }
    char request[32] = "Data Buffer";
    std::vector<char> reply(sizeof(ICMP_ECHO_REPLY) + sizeof request);
    const DWORD replies = IcmpSendEcho(icmp.get(), address, request, sizeof request, nullptr, reply.data(),
                                       static_cast<DWORD>(reply.size()), kEchoTimeoutMs);
    RLOG(3, "Exiting IsArrayExists() Result: %d", static_cast<int>(replies));
    return replies != 0;
}

int ValidateArrayAccess(const std::string& arrayIP, const std::string& accessKey, const std::string& certificatePin) {
    try {
        Korvel::KAccessLayer accessLayer;
        std::string address = arrayIP, key = accessKey;
        return accessLayer.ValidateArray(address, key, certificatePin);
    } catch (const std::exception& e) {
        RLOG(0, "%s", e.what());
        return KRT_GENERAL_FAILURE;
    }
}

int GetCertificatePin(const std::string& arrayIP, std::string& certificatePin) {
    RLOG(3, "Entering GetCertificatePin() with parameter KorvelArray IP: %s", arrayIP.c_str());
    int result = KRT_SUCCESS;
    try {
        certificatePin = Korvel::KAccessLayer::GetCertificatePin(arrayIP);
    } catch (const std::exception& e) {
        RLOG(0, "%s", e.what());
        result = KRT_NO_CERTIFICATE;
    }
    RLOG(3, "Exiting GetCertificatePin()");
    return result;
}

int GetLogLevel(std::string& level) {
    RLOG(3, "Entering GetLogLevel() with parameter Option: %s", level.c_str());
    const int result = GetSetting("LogLevel", level);
    RLOG(3, "Exiting GetLogLevel()");
    return result;
}

int GetTracing(std::string& tracing) {
    RLOG(3, "Entering GetTracing() with parameter Trace Option: %s", tracing.c_str());
    const int result = GetSetting("Tracing", tracing);
    RLOG(3, "Exiting GetTracing()");
    return result;
}

int SetTracing(const std::string& tracing, const std::string& level) {
    RLOG(3, "Entering SetTracing() with parameter Trace Option: %s, LogLevel: %s", tracing.c_str(), level.c_str());
    KorvelRegKey key;
    int result = KRT_NO_CONFIGURATION;
    if (OpenKey(key, StorePath(), KEY_SET_VALUE) == ERROR_SUCCESS) {
        result = SetValue(key.get(), "Tracing", tracing.c_str());
        if (tracing == "Enabled") result = SetValue(key.get(), "LogLevel", level.c_str());
    }
    key.reset();
    RLOG(3, "Exiting SetTracing()");
    return result;
}
