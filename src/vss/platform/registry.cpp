// Registry stand-in: a key is a folder, a subkey a subfolder, and a key's
// values live in one ".values" file written in the text form of registry
// exports. Writes go through a temporary file, fsync and rename, serialised
// with flock on ".values", so a reader never sees a half-written file.
#include "registry.h"
#include "KDescriptor.h"
#include "registry_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct HKEY__ {
    std::string dir;
    REGSAM access;
};

namespace {

using RegistryText::HexDigit;
using RegistryText::ParseValues;
using RegistryText::SerializeValues;
using RegistryText::Value;

constexpr const char* kDefaultRoot = "/var/lib/korvel/registry";
constexpr const char* kValuesFile = ".values";
constexpr size_t kMaxKeyName = 255;

// ---- handles ---------------------------------------------------------------

std::mutex g_handlesMutex;
std::set<HKEY>& Handles() {
    static std::set<HKEY>* handles = new std::set<HKEY>;
    return *handles;
}

std::string Root() {
    const char* root = std::getenv("KORVEL_REGISTRY_ROOT");
    return root && *root ? root : kDefaultRoot;
}

const char* HiveName(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
    return nullptr;
}

// What a handle stands for: its folder and the rights it was opened with.
struct KeyRef {
    std::string dir;
    REGSAM access = 0;
};

LONG Resolve(HKEY key, KeyRef& out) {
    if (const char* hive = HiveName(key)) {
        out.dir = Root() + "/" + hive;
        out.access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    if (key == nullptr || Handles().count(key) == 0) return ERROR_INVALID_HANDLE;
    out.dir = key->dir;
    out.access = key->access;
    return ERROR_SUCCESS;
}

HKEY NewHandle(const std::string& dir, REGSAM access) {
    HKEY key = new HKEY__{dir, access & ~static_cast<REGSAM>(KEY_WOW64_64KEY | KEY_WOW64_32KEY)};
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    Handles().insert(key);
    return key;
}

bool IsDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A handle to a key that has since been deleted refuses further use.
LONG ResolveLive(HKEY key, KeyRef& out) {
    LONG rc = Resolve(key, out);
    if (rc != ERROR_SUCCESS) return rc;
    if (!HiveName(key) && !IsDir(out.dir)) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

LONG FromErrno(int err, LONG fallback) {
    switch (err) {
        case ENOENT:
        case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        default: return fallback;
    }
}

// ---- key names on disk -----------------------------------------------------

std::string EscapeName(const std::string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '/' || c == '%' || c < 0x20 || c == 0x7F || (i == 0 && c == '.')) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string UnescapeName(const std::string& disk) {
    std::string out;
    for (size_t i = 0; i < disk.size(); ++i) {
        if (disk[i] == '%' && i + 2 < disk.size() && HexDigit(disk[i + 1]) >= 0 && HexDigit(disk[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(disk[i + 1]) * 16 + HexDigit(disk[i + 2]));
            i += 2;
        } else {
            out += disk[i];
        }
    }
    return out;
}

// Splits "A\B\C" into escaped folder names. An empty path names the key itself.
LONG SplitPath(LPCSTR subKey, std::vector<std::string>& parts) {
    parts.clear();
    if (subKey == nullptr) return ERROR_SUCCESS;
    std::string path(subKey);
    if (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.empty()) return ERROR_SUCCESS;
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
        parts.push_back(EscapeName(part));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

std::string JoinPath(const std::string& dir, const std::vector<std::string>& parts) {
    std::string out = dir;
    for (const auto& p : parts) out += "/" + p;
    return out;
}

// A live key and the folder of a subkey path below it.
struct SubkeyRef {
    KeyRef key;
    std::string dir;
    bool named = false;  // false: the path is empty and names the key itself
};

LONG ResolveSubkey(HKEY key, LPCSTR subKey, SubkeyRef& out) {
    LONG rc = ResolveLive(key, out.key);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::string> parts;
    if ((rc = SplitPath(subKey, parts)) != ERROR_SUCCESS) return rc;
    out.dir = JoinPath(out.key.dir, parts);
    out.named = !parts.empty();
    return ERROR_SUCCESS;
}

// Subkey names, unescaped, in the registry's enumeration order: sorted
// case-insensitively (ASCII, folded to upper case as Windows does, so '_'
// sorts after the letters), ties broken byte-wise.
std::vector<std::string> ListSubkeys(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;  // ".", "..", ".values", temporaries
        std::string full = dir + "/" + e->d_name;
        if (IsDir(full)) names.push_back(UnescapeName(e->d_name));
    }
    ::closedir(d);
    auto upper = [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            int ca = upper(static_cast<unsigned char>(a[i])), cb = upper(static_cast<unsigned char>(b[i]));
            if (ca != cb) return ca < cb;
        }
        if (a.size() != b.size()) return a.size() < b.size();
        return a < b;
    });
    return names;
}

using Korvel::KDescriptor;
using Korvel::WriteAll;

bool ReadAll(int fd, std::string& out) {
    out.clear();
    char buf[8192];
    while (true) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

LONG LoadValues(const std::string& dir, std::vector<Value>& values) {
    values.clear();
    KDescriptor fd(::open((dir + "/" + kValuesFile).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT ? ERROR_SUCCESS : FromErrno(errno, ERROR_READ_FAULT);
    std::string text;
    if (!ReadAll(fd.get(), text)) return ERROR_READ_FAULT;
    return ParseValues(text, values) ? ERROR_SUCCESS : ERROR_BADDB;
}

// Takes the writers' exclusive flock on the key's current ".values" (made
// when missing). If a concurrent writer renamed a new file into place
// meanwhile, the lock is on a stale inode and is taken again.
LONG LockValues(const std::string& dir, KDescriptor& lockFd) {
    const std::string path = dir + "/" + kValuesFile;
    for (int attempt = 0;; ++attempt) {
        lockFd.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (lockFd.get() < 0) return errno == ENOENT ? ERROR_KEY_DELETED : FromErrno(errno, ERROR_WRITE_FAULT);
        if (::flock(lockFd.get(), LOCK_EX) != 0) return ERROR_WRITE_FAULT;
        struct stat held {
        }, current{};
        if (::fstat(lockFd.get(), &held) == 0 && ::stat(path.c_str(), &current) == 0 && held.st_ino == current.st_ino &&
            held.st_dev == current.st_dev)
            return ERROR_SUCCESS;
        if (attempt > 1000) return ERROR_WRITE_FAULT;
    }
}

// A writer's temporary file: ".values." and mkostemp's six characters.
bool IsTemporaryName(const std::string& name) {
    const std::string prefix = std::string(kValuesFile) + ".";
    return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0;
}

// Names in a key's folder besides ".", ".." and ".values": the temporary
// files of writers and everything else (subkeys) apart.
void ListKeyFolder(const std::string& dir, std::vector<std::string>& temporaries, std::vector<std::string>& others) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || name == kValuesFile) continue;
        (IsTemporaryName(name) ? temporaries : others).push_back(name);
    }
    ::closedir(d);
}

// With the key's lock held, a temporary file can only be one that a writer
// killed before its rename left behind. Returns the folder's other names.
std::vector<std::string> RemoveStrayTemporaries(const std::string& dir) {
    std::vector<std::string> temporaries, others;
    ListKeyFolder(dir, temporaries, others);
    for (const auto& name : temporaries) ::unlink((dir + "/" + name).c_str());
    return others;
}

// Replaces ".values" atomically and durably: temporary file, fsync, rename.
LONG WriteValuesFile(const std::string& dir, const std::string& text) {
    std::string tmp = dir + "/" + kValuesFile + ".XXXXXX";
    KDescriptor out(::mkostemp(tmp.data(), O_CLOEXEC));
    if (out.get() < 0) return FromErrno(errno, ERROR_WRITE_FAULT);
    ::fchmod(out.get(), 0600);
    if (!WriteAll(out.get(), text) || ::fsync(out.get()) != 0 ||
        ::rename(tmp.c_str(), (dir + "/" + kValuesFile).c_str()) != 0) {
        ::unlink(tmp.c_str());
        return ERROR_WRITE_FAULT;
    }
    KDescriptor dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0) ::fsync(dirFd.get());
    return ERROR_SUCCESS;
}

// Read-modify-write of a key's values under the writers' lock.
template <typename Edit>
LONG UpdateValues(const std::string& dir, Edit edit) {
    KDescriptor lockFd;
    LONG rc = LockValues(dir, lockFd);
    if (rc != ERROR_SUCCESS) return rc;
    RemoveStrayTemporaries(dir);
    std::string text;
    std::vector<Value> values;
    if (!ReadAll(lockFd.get(), text)) return ERROR_READ_FAULT;
    if (!ParseValues(text, values)) return ERROR_BADDB;
    if ((rc = edit(values)) != ERROR_SUCCESS) return rc;
    return WriteValuesFile(dir, SerializeValues(values));
}

std::vector<Value>::iterator FindValue(std::vector<Value>& values, LPCSTR name) {
    std::string wanted = name ? name : "";
    return std::find_if(values.begin(), values.end(), [&](const Value& v) { return v.name == wanted; });
}

FILETIME ModifiedTime(const std::string& dir) {
    struct stat st {};
    FILETIME ft{0, 0};
    if (::stat(dir.c_str(), &st) != 0) return ft;
    // 100 ns intervals since 1601-01-01.
    uint64_t t = (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ULL) * 10000000ULL +
                 static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

// mkdir -p with 0700 folders; the store holds access keys.
bool MakeDirs(const std::string& path) {
    if (IsDir(path)) return true;
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return IsDir(path);
}

}  // namespace

// Root may write anywhere; anyone else needs write and search rights on the
// nearest folder of the key that exists.
bool KorvelMayWriteKey(HKEY hive, LPCSTR subKey) {
    if (::geteuid() == 0) return true;
    const char* hiveName = HiveName(hive);
    std::vector<std::string> parts;
    if (hiveName == nullptr || SplitPath(subKey, parts) != ERROR_SUCCESS) return false;
    std::string path = JoinPath(Root() + "/" + hiveName, parts);
    while (!path.empty() && ::access(path.c_str(), F_OK) != 0) {
        const size_t slash = path.find_last_of('/');
        path = slash == std::string::npos ? "." : path.substr(0, slash);  // a relative root ends in "."
    }
    return ::access(path.empty() ? "/" : path.c_str(), W_OK | X_OK) == 0;
}

size_t RegistryOpenHandleCount() {
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    return Handles().size();
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    SubkeyRef sub;
    LONG rc = ResolveSubkey(hKey, lpSubKey, sub);
    if (rc != ERROR_SUCCESS) return rc;
    if (sub.named && !IsDir(sub.dir)) return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(sub.dir, samDesired);
    return ERROR_SUCCESS;
}

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return RegOpenKeyExA(hKey, lpSubKey, 0, KEY_ALL_ACCESS, phkResult);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD /*dwOptions*/,
                     REGSAM samDesired, const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    SubkeyRef sub;
    LONG rc = ResolveSubkey(hKey, lpSubKey, sub);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (!IsDir(sub.dir)) {
        if (!(sub.key.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        if (!MakeDirs(sub.dir)) return FromErrno(errno, ERROR_WRITE_FAULT);
        disposition = REG_CREATED_NEW_KEY;
    }
    *phkResult = NewHandle(sub.dir, samDesired);
    if (lpdwDisposition) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    if (HiveName(hKey)) return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(g_handlesMutex);
        if (hKey == nullptr || Handles().erase(hKey) == 0) return ERROR_INVALID_HANDLE;
    }
    delete hKey;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD /*lpReserved*/, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    LONG rc = ResolveLive(hKey, ref);
    if (rc != ERROR_SUCCESS) return rc;
    if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::vector<Value> values;
    if ((rc = LoadValues(ref.dir, values)) != ERROR_SUCCESS) return rc;
    auto it = FindValue(values, lpValueName);
    if (it == values.end()) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = it->type;
    DWORD size = static_cast<DWORD>(it->data.size());
    if (lpData == nullptr) {
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, it->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
    KeyRef ref;
    LONG rc = ResolveLive(hKey, ref);
    if (rc != ERROR_SUCCESS) return rc;
    if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (HiveName(hKey) && !MakeDirs(ref.dir)) return FromErrno(errno, ERROR_WRITE_FAULT);
    std::string data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
    return UpdateValues(ref.dir, [&](std::vector<Value>& values) {
        auto it = FindValue(values, lpValueName);
        if (it == values.end()) {
            values.push_back({lpValueName ? lpValueName : "", dwType, data});
        } else {
            it->type = dwType;
            it->data = data;
        }
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    KeyRef ref;
    LONG rc = ResolveLive(hKey, ref);
    if (rc != ERROR_SUCCESS) return rc;
    if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::vector<Value> current;
    if ((rc = LoadValues(ref.dir, current)) != ERROR_SUCCESS) return rc;
    if (FindValue(current, lpValueName) == current.end()) return ERROR_FILE_NOT_FOUND;
    return UpdateValues(ref.dir, [&](std::vector<Value>& values) {
        auto it = FindValue(values, lpValueName);
        if (it == values.end()) return ERROR_FILE_NOT_FOUND;
        values.erase(it);
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    SubkeyRef sub;
    LONG rc = ResolveSubkey(hKey, lpSubKey, sub);
    if (rc != ERROR_SUCCESS) return rc;
    if (!sub.named) return HiveName(hKey) ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER;
    if (!IsDir(sub.dir)) return ERROR_FILE_NOT_FOUND;
    // Hold the writers' lock while the key goes, so no write lands in between.
    KDescriptor lockFd;
    if ((rc = LockValues(sub.dir, lockFd)) != ERROR_SUCCESS) return rc;
    // Subkeys are refused before anything is removed: the key keeps its values.
    if (!RemoveStrayTemporaries(sub.dir).empty()) return ERROR_ACCESS_DENIED;
    std::string text;
    if (!ReadAll(lockFd.get(), text)) return ERROR_READ_FAULT;
    if (::unlink((sub.dir + "/" + kValuesFile).c_str()) != 0) return FromErrno(errno, ERROR_WRITE_FAULT);
    if (::rmdir(sub.dir.c_str()) != 0) {
        const int err = errno;
        // A subkey created meanwhile keeps the key alive: so do its values.
        WriteValuesFile(sub.dir, text);
        return err == ENOTEMPTY || err == EEXIST ? ERROR_ACCESS_DENIED : FromErrno(err, ERROR_WRITE_FAULT);
    }
    KDescriptor parentFd(::open(sub.key.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parentFd.get() >= 0) ::fsync(parentFd.get());
    return ERROR_SUCCESS;
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    KorvelRegKey key;
    LONG result = RegOpenKeyExA(hKey, lpSubKey != nullptr ? lpSubKey : "", 0, KEY_ALL_ACCESS, key.out());
    if (result != ERROR_SUCCESS) return result;
    char name[kMaxKeyName + 1];
    for (;;) {
        DWORD length = sizeof name;
        result = RegEnumKeyExA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) return result;
        if ((result = RegDeleteTreeA(key.get(), name)) != ERROR_SUCCESS) return result;
    }
    if (lpSubKey != nullptr) return RegDeleteKeyA(hKey, lpSubKey);
    // The key's own values go; the key stays.
    KeyRef ref;
    if ((result = ResolveLive(key.get(), ref)) != ERROR_SUCCESS) return result;
    if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return UpdateValues(ref.dir, [](std::vector<Value>& values) {
        values.clear();
        return ERROR_SUCCESS;
    });
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD /*lpReserved*/, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    LONG rc = ResolveLive(hKey, ref);
    if (rc != ERROR_SUCCESS) return rc;
    if (!(ref.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    std::vector<std::string> names = ListSubkeys(ref.dir);
    if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& name = names[dwIndex];
    if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass && lpcchClass && *lpcchClass > 0) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) *lpftLastWriteTime = ModifiedTime(ref.dir + "/" + EscapeName(name));
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD /*lpReserved*/, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                      LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    KeyRef ref;
    LONG rc = ResolveLive(hKey, ref);
    if (rc != ERROR_SUCCESS) return rc;
    if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::vector<std::string> names = ListSubkeys(ref.dir);
    std::vector<Value> values;
    if ((rc = LoadValues(ref.dir, values)) != ERROR_SUCCESS) return rc;
    if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = '\0';
    if (lpcchClass) *lpcchClass = 0;
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(names.size());
    if (lpcbMaxSubKeyLen) {
        size_t m = 0;
        for (const auto& n : names) m = std::max(m, n.size());
        *lpcbMaxSubKeyLen = static_cast<DWORD>(m);
    }
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = static_cast<DWORD>(values.size());
    size_t maxName = 0, maxData = 0;
    for (const auto& v : values) {
        maxName = std::max(maxName, v.name.size());
        maxData = std::max(maxData, v.data.size());
    }
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = static_cast<DWORD>(maxName);
    if (lpcbMaxValueLen) *lpcbMaxValueLen = static_cast<DWORD>(maxData);
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = ModifiedTime(ref.dir);
    return ERROR_SUCCESS;
}
