// Registry stand-in: a key is a folder, a subkey a subfolder, and a key's
// values live in one ".values" file written in the text form of registry
// exports. Writes go through a temporary file, fsync and rename, serialised
// with flock on ".values", so a reader never sees a half-written file.
#include "registry.h"

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

constexpr const char* kDefaultRoot = "/var/lib/korvel/registry";
constexpr const char* kValuesFile = ".values";
constexpr const char* kFileHeader = "Windows Registry Editor Version 5.00";
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
    struct stat st{};
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

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
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

// ---- the values file ---------------------------------------------------------

struct Value {
    std::string name;  // empty: the key's default value, written "@"
    DWORD type = REG_NONE;
    std::string data;  // exact bytes
};

std::string QuoteText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool Printable(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

std::string FormatValue(const Value& v) {
    std::string line = v.name.empty() ? "@" : QuoteText(v.name);
    line += '=';
    if (v.type == REG_SZ && !v.data.empty() && v.data.back() == '\0' &&
        Printable(v.data.substr(0, v.data.size() - 1))) {
        return line + QuoteText(v.data.substr(0, v.data.size() - 1));
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n = 0;
        std::memcpy(&n, v.data.data(), 4);  // little-endian, as on Windows
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        return line + buf;
    }
    char prefix[24];
    if (v.type == REG_BINARY)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
    line += prefix;
    for (size_t i = 0; i < v.data.size(); ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", static_cast<unsigned char>(v.data[i]));
        line += buf;
    }
    return line;
}

bool ParseQuoted(const std::string& line, size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"') return false;
    out.clear();
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= line.size()) return false;
            if (line[pos] == 'x') {
                if (pos + 2 >= line.size() || HexDigit(line[pos + 1]) < 0 || HexDigit(line[pos + 2]) < 0)
                    return false;
                out += static_cast<char>(HexDigit(line[pos + 1]) * 16 + HexDigit(line[pos + 2]));
                pos += 2;
            } else {
                out += line[pos];
            }
        } else {
            out += c;
        }
    }
    return false;
}

bool ParseHexBytes(const std::string& text, std::string& out) {
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (i + 1 >= text.size() || HexDigit(text[i]) < 0 || HexDigit(text[i + 1]) < 0) return false;
        out += static_cast<char>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
        i += 2;
        if (i < text.size()) {
            if (text[i] != ',') return false;
            ++i;
        }
    }
    return true;
}

bool ParseValueLine(const std::string& line, Value& v) {
    size_t pos = 0;
    if (line[0] == '@') {
        v.name.clear();
        pos = 1;
    } else if (!ParseQuoted(line, pos, v.name)) {
        return false;
    }
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    if (pos < line.size() && line[pos] == '"') {
        if (!ParseQuoted(line, pos, v.data) || pos != line.size()) return false;
        v.type = REG_SZ;
        v.data += '\0';
        return true;
    }
    std::string rest = line.substr(pos);
    if (rest.compare(0, 6, "dword:") == 0) {
        if (rest.size() != 14) return false;
        char* end = nullptr;
        unsigned long n = std::strtoul(rest.c_str() + 6, &end, 16);
        if (*end != '\0') return false;
        uint32_t n32 = static_cast<uint32_t>(n);
        v.type = REG_DWORD;
        v.data.assign(reinterpret_cast<const char*>(&n32), 4);
        return true;
    }
    if (rest.compare(0, 4, "hex:") == 0) {
        v.type = REG_BINARY;
        return ParseHexBytes(rest.substr(4), v.data);
    }
    if (rest.compare(0, 4, "hex(") == 0) {
        size_t close = rest.find("):");
        if (close == std::string::npos || close == 4) return false;
        char* end = nullptr;
        unsigned long t = std::strtoul(rest.c_str() + 4, &end, 16);
        if (end != rest.c_str() + close) return false;
        v.type = static_cast<DWORD>(t);
        return ParseHexBytes(rest.substr(close + 2), v.data);
    }
    return false;
}

bool ParseValues(const std::string& text, std::vector<Value>& values) {
    values.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line == kFileHeader) continue;
        Value v;
        if (!ParseValueLine(line, v)) return false;
        values.push_back(std::move(v));
    }
    return true;
}

std::string SerializeValues(const std::vector<Value>& values) {
    std::string out = std::string(kFileHeader) + "\n\n";
    for (const auto& v : values) out += FormatValue(v) + "\n";
    return out;
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

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

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

LONG LoadValues(const std::string& dir, std::vector<Value>& values) {
    values.clear();
    Fd fd(::open((dir + "/" + kValuesFile).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT ? ERROR_SUCCESS : FromErrno(errno, ERROR_READ_FAULT);
    std::string text;
    if (!ReadAll(fd.get(), text)) return ERROR_READ_FAULT;
    return ParseValues(text, values) ? ERROR_SUCCESS : ERROR_BADDB;
}

// Read-modify-write of a key's values under an exclusive flock. The lock is
// taken on the current ".values"; if a concurrent writer renamed a new file
// into place meanwhile, the lock is on a stale inode and is taken again.
template <typename Edit>
LONG UpdateValues(const std::string& dir, Edit edit) {
    const std::string path = dir + "/" + kValuesFile;
    Fd lockFd;
    for (int attempt = 0;; ++attempt) {
        lockFd.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (lockFd.get() < 0) return errno == ENOENT ? ERROR_KEY_DELETED : FromErrno(errno, ERROR_WRITE_FAULT);
        if (::flock(lockFd.get(), LOCK_EX) != 0) return ERROR_WRITE_FAULT;
        struct stat held{}, current{};
        if (::fstat(lockFd.get(), &held) == 0 && ::stat(path.c_str(), &current) == 0 &&
            held.st_ino == current.st_ino && held.st_dev == current.st_dev)
            break;
        if (attempt > 1000) return ERROR_WRITE_FAULT;
    }
    std::string text;
    std::vector<Value> values;
    if (!ReadAll(lockFd.get(), text)) return ERROR_READ_FAULT;
    if (!ParseValues(text, values)) return ERROR_BADDB;
    LONG rc = edit(values);
    if (rc != ERROR_SUCCESS) return rc;

    std::string tmp = dir + "/.values.XXXXXX";
    Fd out(::mkostemp(tmp.data(), O_CLOEXEC));
    if (out.get() < 0) return FromErrno(errno, ERROR_WRITE_FAULT);
    ::fchmod(out.get(), 0600);
    if (!WriteAll(out.get(), SerializeValues(values)) || ::fsync(out.get()) != 0 ||
        ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return ERROR_WRITE_FAULT;
    }
    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0) ::fsync(dirFd.get());
    return ERROR_SUCCESS;
}

std::vector<Value>::iterator FindValue(std::vector<Value>& values, LPCSTR name) {
    std::string wanted = name ? name : "";
    return std::find_if(values.begin(), values.end(), [&](const Value& v) { return v.name == wanted; });
}

FILETIME ModifiedTime(const std::string& dir) {
    struct stat st{};
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

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    LONG rc = ResolveLive(hKey, ref);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::string> parts;
    if ((rc = SplitPath(lpSubKey, parts)) != ERROR_SUCCESS) return rc;
    std::string dir = JoinPath(ref.dir, parts);
    if (!parts.empty() && !IsDir(dir)) return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(dir, samDesired);
    return ERROR_SUCCESS;
}

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return RegOpenKeyExA(hKey, lpSubKey, 0, KEY_ALL_ACCESS, phkResult);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD /*dwOptions*/,
                     REGSAM samDesired, const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    LONG rc = ResolveLive(hKey, ref);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::string> parts;
    if ((rc = SplitPath(lpSubKey, parts)) != ERROR_SUCCESS) return rc;
    std::string dir = JoinPath(ref.dir, parts);
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (!IsDir(dir)) {
        if (!(ref.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        if (!MakeDirs(dir)) return FromErrno(errno, ERROR_WRITE_FAULT);
        disposition = REG_CREATED_NEW_KEY;
    }
    *phkResult = NewHandle(dir, samDesired);
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

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
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
    KeyRef ref;
    LONG rc = ResolveLive(hKey, ref);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::string> parts;
    if ((rc = SplitPath(lpSubKey, parts)) != ERROR_SUCCESS) return rc;
    if (parts.empty()) return HiveName(hKey) ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER;
    std::string dir = JoinPath(ref.dir, parts);
    if (!IsDir(dir)) return ERROR_FILE_NOT_FOUND;
    if (!ListSubkeys(dir).empty()) return ERROR_ACCESS_DENIED;
    const std::string values = dir + "/" + kValuesFile;
    // Hold the writers' lock while the key goes, so no write lands in between.
    Fd lockFd(::open(values.c_str(), O_RDONLY | O_CLOEXEC));
    if (lockFd.get() >= 0) ::flock(lockFd.get(), LOCK_EX);
    if (::unlink(values.c_str()) != 0 && errno != ENOENT) return FromErrno(errno, ERROR_WRITE_FAULT);
    if (::rmdir(dir.c_str()) != 0) return errno == ENOTEMPTY ? ERROR_ACCESS_DENIED : FromErrno(errno, ERROR_WRITE_FAULT);
    Fd parentFd(::open(ref.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parentFd.get() >= 0) ::fsync(parentFd.get());
    return ERROR_SUCCESS;
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    KorvelRegKey key;
    LONG result = RegOpenKeyExA(hKey, lpSubKey != nullptr ? lpSubKey : "", 0, KEY_ALL_ACCESS, key.Out());
    if (result != ERROR_SUCCESS) return result;
    char name[kMaxKeyName + 1];
    for (;;) {
        DWORD length = sizeof name;
        result = RegEnumKeyExA(key.Get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) return result;
        if ((result = RegDeleteTreeA(key.Get(), name)) != ERROR_SUCCESS) return result;
    }
    if (lpSubKey != nullptr) return RegDeleteKeyA(hKey, lpSubKey);
    // The key's own values go; the key stays.
    KeyRef ref;
    if ((result = ResolveLive(key.Get(), ref)) != ERROR_SUCCESS) return result;
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
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
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
