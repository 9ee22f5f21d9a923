#include "storage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "handles.h"

namespace {

struct DeviceObject : korvel_platform::KernelObject {
    std::string name;  // block device name, "sdb"
    std::string dir;   // <root>/class/block/<name>/device
};

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadAll(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// An attribute as the kernel prints it, without its line end; inquiry texts
// keep their blank padding.
std::string ReadAttribute(const std::string& path) {
    std::string text;
    if (!ReadAll(path, text)) return std::string();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

STORAGE_BUS_TYPE BusTypeOf(const std::string& deviceDir) {
    char resolved[PATH_MAX];
    if (::realpath(deviceDir.c_str(), resolved) == nullptr) return BusTypeUnknown;
    const std::string path = resolved;
    static const std::regex session("/session[0-9]+/");
    if (std::regex_search(path, session)) return BusTypeiScsi;
    if (path.find("/rport-") != std::string::npos) return BusTypeFibre;
    if (path.find("/end_device-") != std::string::npos) return BusTypeSas;
    if (path.find("/usb") != std::string::npos) return BusTypeUsb;
    if (path.find("/ata") != std::string::npos) return BusTypeSata;
    if (path.find("/target") != std::string::npos) return BusTypeScsi;
    return BusTypeUnknown;
}

// Copies as much of `built` as fits, the way the storage stack fills a short
// buffer: the header's Size still tells the whole length.
BOOL Deliver(const std::vector<BYTE>& built, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (outSize < 2 * sizeof(DWORD) || out == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD n = built.size() < outSize ? static_cast<DWORD>(built.size()) : outSize;
    std::memcpy(out, built.data(), n);
    if (returned != nullptr) *returned = n;
    return TRUE;
}

void AppendText(std::vector<BYTE>& buf, DWORD& offset, const std::string& text) {
    if (text.empty()) {
        offset = 0;
        return;
    }
    offset = static_cast<DWORD>(buf.size());
    buf.insert(buf.end(), text.begin(), text.end());
    buf.push_back(0);
}

BOOL QueryDeviceProperty(const DeviceObject& dev, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (!IsDirectory(dev.dir)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    std::vector<BYTE> buf(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) + 4, 0);
    STORAGE_DEVICE_DESCRIPTOR d{};
    d.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    const std::string type = ReadAttribute(dev.dir + "/type");
    d.DeviceType = static_cast<BYTE>(type.empty() ? 0 : std::atoi(type.c_str()));
    const std::string depth = ReadAttribute(dev.dir + "/queue_depth");
    d.CommandQueueing = !depth.empty() && std::atoi(depth.c_str()) > 1;
    d.BusType = BusTypeOf(dev.dir);

    std::string serial;
    std::string page;
    if (ReadAll(dev.dir + "/vpd_pg80", page) && page.size() >= 4) {
        size_t length = (static_cast<BYTE>(page[2]) << 8) | static_cast<BYTE>(page[3]);
        serial = page.substr(4, length);
        serial = serial.substr(0, serial.find('\0'));
    }
    AppendText(buf, d.VendorIdOffset, ReadAttribute(dev.dir + "/vendor"));
    AppendText(buf, d.ProductIdOffset, ReadAttribute(dev.dir + "/model"));
    AppendText(buf, d.ProductRevisionOffset, ReadAttribute(dev.dir + "/rev"));
    AppendText(buf, d.SerialNumberOffset, serial);
    d.Size = static_cast<DWORD>(buf.size());
    std::memcpy(buf.data(), &d, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));
    return Deliver(buf, out, outSize, returned);
}

// Designation descriptors of VPD page 0x83, one STORAGE_IDENTIFIER each. The
// SCSI designator types 0 to 8 have the same numbers as STORAGE_IDENTIFIER_TYPE.
BOOL QueryDeviceIdProperty(const DeviceObject& dev, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (!IsDirectory(dev.dir)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    std::string page;
    if (!ReadAll(dev.dir + "/vpd_pg83", page) || page.size() < 4) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    size_t end = 4 + ((static_cast<BYTE>(page[2]) << 8) | static_cast<BYTE>(page[3]));
    if (end > page.size()) end = page.size();

    std::vector<BYTE> buf(offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers), 0);
    DWORD count = 0;
    for (size_t pos = 4; pos + 4 <= end;) {
        const BYTE* d = reinterpret_cast<const BYTE*>(page.data()) + pos;
        size_t length = d[3];
        if (pos + 4 + length > end) break;
        BYTE designatorType = d[1] & 0x0F;
        if (designatorType <= StorageIdTypeScsiNameString) {
            STORAGE_IDENTIFIER id{};
            id.CodeSet = static_cast<STORAGE_IDENTIFIER_CODE_SET>(d[0] & 0x0F);
            id.Type = static_cast<STORAGE_IDENTIFIER_TYPE>(designatorType);
            id.IdentifierSize = static_cast<USHORT>(length);
            id.NextOffset = static_cast<USHORT>((offsetof(STORAGE_IDENTIFIER, Identifier) + length + 3) & ~size_t{3});
            id.Association = static_cast<STORAGE_ASSOCIATION_TYPE>((d[1] >> 4) & 0x03);
            size_t at = buf.size();
            buf.resize(at + id.NextOffset, 0);
            std::memcpy(buf.data() + at, &id, offsetof(STORAGE_IDENTIFIER, Identifier));
            std::memcpy(buf.data() + at + offsetof(STORAGE_IDENTIFIER, Identifier), d + 4, length);
            ++count;
        }
        pos += 4 + length;
    }
    if (buf.size() < sizeof(STORAGE_DEVICE_ID_DESCRIPTOR)) buf.resize(sizeof(STORAGE_DEVICE_ID_DESCRIPTOR), 0);
    STORAGE_DEVICE_ID_DESCRIPTOR header{};
    header.Version = sizeof(STORAGE_DEVICE_ID_DESCRIPTOR);
    header.Size = static_cast<DWORD>(buf.size());
    header.NumberOfIdentifiers = count;
    std::memcpy(buf.data(), &header, offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers));
    return Deliver(buf, out, outSize, returned);
}

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (lpFileName == nullptr || *lpFileName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = lpFileName;
    size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // "." and ".." would climb out of class/block.
    if (name.empty() || name == "." || name == "..") {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto device = std::make_unique<DeviceObject>();
    device->name = name;
    device->dir = KorvelSysfsRoot() + "/class/block/" + name + "/device";
    if (!IsDirectory(device->dir)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return korvel_platform::RegisterHandle(std::move(device));
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED) {
    auto* device = korvel_platform::LookupHandleAs<DeviceObject>(hDevice);
    if (device == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    if (dwIoControlCode != IOCTL_STORAGE_QUERY_PROPERTY) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (lpInBuffer == nullptr || nInBufferSize < offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    STORAGE_PROPERTY_QUERY query{};
    std::memcpy(&query, lpInBuffer, offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters));
    if (query.PropertyId != StorageDeviceProperty && query.PropertyId != StorageDeviceIdProperty) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (query.QueryType == PropertyExistsQuery) {
        if (query.PropertyId == StorageDeviceIdProperty && ::access((device->dir + "/vpd_pg83").c_str(), R_OK) != 0) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        return TRUE;
    }
    if (query.QueryType != PropertyStandardQuery) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return query.PropertyId == StorageDeviceProperty
               ? QueryDeviceProperty(*device, lpOutBuffer, nOutBufferSize, lpBytesReturned)
               : QueryDeviceIdProperty(*device, lpOutBuffer, nOutBufferSize, lpBytesReturned);
}

std::string KorvelSysfsRoot() {
    const char* root = std::getenv("KORVEL_SYSFS_ROOT");
    return root != nullptr && *root != '\0' ? root : "/sys";
}
