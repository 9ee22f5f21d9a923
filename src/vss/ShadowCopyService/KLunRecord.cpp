#include "KLunRecord.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "LunIdentity.h"
#include "storage.h"

namespace Korvel {

namespace {

void* Alloc(size_t bytes) {
    void* p = CoTaskMemAlloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

char* Dup(const std::string& text) {
    auto* copy = static_cast<char*>(Alloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// The record holds the inquiry texts without the kernel's blank padding.
std::string TrimmedRight(const std::vector<BYTE>& buffer, DWORD offset) {
    if (offset == 0 || offset >= buffer.size()) return std::string();
    const char* start = reinterpret_cast<const char*>(buffer.data()) + offset;
    std::string text(start, strnlen(start, buffer.size() - offset));
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::vector<BYTE> Query(HANDLE handle, const std::string& device, STORAGE_PROPERTY_ID property) {
    std::vector<BYTE> buffer;
    if (!QueryDeviceProperty(handle, property, buffer))
        throw std::runtime_error("cannot read the descriptions of " + device + " (error " +
                                 std::to_string(GetLastError()) + ")");
    return buffer;
}

// ---- blob ---------------------------------------------------------------------

const char kMagic[] = "KLUN1";

class Writer {
public:
    void U32(uint32_t v) { m_out.append(reinterpret_cast<const char*>(&v), sizeof v); }
    void Bytes(const void* p, uint32_t n) {
        U32(n);
        if (n != 0) m_out.append(static_cast<const char*>(p), n);
    }
    void Text(const char* text) {
        U32(text != nullptr);
        if (text != nullptr) Bytes(text, static_cast<uint32_t>(std::strlen(text)));
    }
    void Buffer(const BYTE* p, uint32_t n) {
        U32(p != nullptr);
        if (p != nullptr) Bytes(p, n);
    }
    std::string& Out() { return m_out; }

private:
    std::string m_out;
};

class Reader {
public:
    explicit Reader(const std::string& in) : m_in(in) {}
    uint32_t U32() {
        uint32_t v;
        Need(sizeof v);
        std::memcpy(&v, m_in.data() + m_pos, sizeof v);
        m_pos += sizeof v;
        return v;
    }
    std::string Bytes() {
        uint32_t n = U32();
        Need(n);
        std::string bytes = m_in.substr(m_pos, n);
        m_pos += n;
        return bytes;
    }
    char* Text() { return U32() != 0 ? Dup(Bytes()) : nullptr; }
    BYTE* Buffer(uint32_t expected) {
        if (U32() == 0) return nullptr;
        std::string bytes = Bytes();
        if (bytes.size() != expected) throw std::runtime_error("LUN record: length mismatch");
        auto* p = static_cast<BYTE*>(Alloc(bytes.size()));
        std::memcpy(p, bytes.data(), bytes.size());
        return p;
    }
    // A count must fit in what is left, so a damaged blob cannot ask for gigabytes.
    uint32_t Count(size_t minimumEach) {
        uint32_t n = U32();
        if (minimumEach != 0 && n > (m_in.size() - m_pos) / minimumEach)
            throw std::runtime_error("LUN record: count past its end");
        return n;
    }
    void Need(size_t n) const {
        if (m_in.size() - m_pos < n) throw std::runtime_error("LUN record: truncated");
    }
    bool AtEnd() const { return m_pos == m_in.size(); }
    size_t Pos() const { return m_pos; }
    void Skip(size_t n) {
        Need(n);
        m_pos += n;
    }

private:
    const std::string& m_in;
    size_t m_pos = 0;
};

}  // namespace

KLunRecord& KLunRecord::operator=(KLunRecord&& other) noexcept {
    if (this != &other) {
        Free(m_info);
        m_info = other.m_info;
        other.m_info = VDS_LUN_INFORMATION{};
    }
    return *this;
}

void KLunRecord::Free(VDS_LUN_INFORMATION& info) {
    CoTaskMemFree(info.m_szVendorId);
    CoTaskMemFree(info.m_szProductId);
    CoTaskMemFree(info.m_szProductRevision);
    CoTaskMemFree(info.m_szSerialNumber);
    if (info.m_deviceIdDescriptor.m_rgIdentifiers != nullptr) {
        for (ULONG i = 0; i < info.m_deviceIdDescriptor.m_cIdentifiers; ++i)
            CoTaskMemFree(info.m_deviceIdDescriptor.m_rgIdentifiers[i].m_rgbIdentifier);
        CoTaskMemFree(info.m_deviceIdDescriptor.m_rgIdentifiers);
    }
    if (info.m_rgInterconnects != nullptr) {
        for (ULONG i = 0; i < info.m_cInterconnects; ++i) {
            CoTaskMemFree(info.m_rgInterconnects[i].m_pbPort);
            CoTaskMemFree(info.m_rgInterconnects[i].m_pbAddress);
        }
        CoTaskMemFree(info.m_rgInterconnects);
    }
    info = VDS_LUN_INFORMATION{};
}

KLunRecord KLunRecord::FromDisk(const std::string& device) {
    const KDeviceHandle handle = OpenDevice(device);
    if (!handle) throw std::runtime_error(device + " is not a disk (error " + std::to_string(GetLastError()) + ")");
    std::vector<BYTE> page80 = Query(handle.get(), device, StorageDeviceProperty);
    std::vector<BYTE> page83 = Query(handle.get(), device, StorageDeviceIdProperty);

    KLunRecord record;
    VDS_LUN_INFORMATION& info = record.m_info;
    STORAGE_DEVICE_DESCRIPTOR d;
    std::memcpy(&d, page80.data(), sizeof d);
    info.m_version = VER_VDS_LUN_INFORMATION;
    info.m_DeviceType = d.DeviceType;
    info.m_DeviceTypeModifier = d.DeviceTypeModifier;
    info.m_bCommandQueueing = d.CommandQueueing;
    info.m_BusType = static_cast<VDS_STORAGE_BUS_TYPE>(d.BusType);
    info.m_szVendorId = Dup(TrimmedRight(page80, d.VendorIdOffset));
    info.m_szProductId = Dup(TrimmedRight(page80, d.ProductIdOffset));
    info.m_szProductRevision = Dup(TrimmedRight(page80, d.ProductRevisionOffset));
    info.m_szSerialNumber = Dup(TrimmedRight(page80, d.SerialNumberOffset));

    std::vector<VDS_STORAGE_IDENTIFIER> found;
    ForEachPage83Identifier(page83, [&](const STORAGE_IDENTIFIER& id, const BYTE* bytes) {
        VDS_STORAGE_IDENTIFIER out{};
        out.m_CodeSet = static_cast<VDS_STORAGE_IDENTIFIER_CODE_SET>(id.CodeSet);
        out.m_Type = static_cast<VDS_STORAGE_IDENTIFIER_TYPE>(id.Type);
        out.m_cbIdentifier = id.IdentifierSize;
        out.m_rgbIdentifier = static_cast<BYTE*>(Alloc(id.IdentifierSize));
        std::memcpy(out.m_rgbIdentifier, bytes, id.IdentifierSize);
        found.push_back(out);
    });
    info.m_deviceIdDescriptor.m_version = 1;
    info.m_deviceIdDescriptor.m_rgIdentifiers =
        static_cast<VDS_STORAGE_IDENTIFIER*>(Alloc(sizeof(VDS_STORAGE_IDENTIFIER) * found.size()));
    std::copy(found.begin(), found.end(), info.m_deviceIdDescriptor.m_rgIdentifiers);
    info.m_deviceIdDescriptor.m_cIdentifiers = static_cast<ULONG>(found.size());
    return record;
}

std::string KLunRecord::Encode() const {
    Writer w;
    w.Out().append(kMagic, sizeof kMagic - 1);
    const VDS_LUN_INFORMATION& i = m_info;
    w.U32(i.m_version);
    w.U32(i.m_DeviceType);
    w.U32(i.m_DeviceTypeModifier);
    w.U32(static_cast<uint32_t>(i.m_bCommandQueueing));
    w.U32(static_cast<uint32_t>(i.m_BusType));
    w.Text(i.m_szVendorId);
    w.Text(i.m_szProductId);
    w.Text(i.m_szProductRevision);
    w.Text(i.m_szSerialNumber);
    w.Bytes(&i.m_diskSignature, sizeof i.m_diskSignature);
    w.U32(i.m_deviceIdDescriptor.m_version);
    const VDS_STORAGE_IDENTIFIER* ids = i.m_deviceIdDescriptor.m_rgIdentifiers;
    w.U32(ids != nullptr);
    w.U32(ids != nullptr ? i.m_deviceIdDescriptor.m_cIdentifiers : 0);
    for (ULONG k = 0; ids != nullptr && k < i.m_deviceIdDescriptor.m_cIdentifiers; ++k) {
        w.U32(static_cast<uint32_t>(ids[k].m_CodeSet));
        w.U32(static_cast<uint32_t>(ids[k].m_Type));
        w.U32(ids[k].m_cbIdentifier);
        w.Buffer(ids[k].m_rgbIdentifier, ids[k].m_cbIdentifier);
    }
    const VDS_INTERCONNECT* links = i.m_rgInterconnects;
    w.U32(links != nullptr ? i.m_cInterconnects : 0);
    for (ULONG k = 0; links != nullptr && k < i.m_cInterconnects; ++k) {
        w.U32(static_cast<uint32_t>(links[k].m_addressType));
        w.U32(links[k].m_cbPort);
        w.Buffer(links[k].m_pbPort, links[k].m_cbPort);
        w.U32(links[k].m_cbAddress);
        w.Buffer(links[k].m_pbAddress, links[k].m_cbAddress);
    }
    return w.Out();
}

KLunRecord KLunRecord::Decode(const std::string& blob) {
    if (blob.compare(0, sizeof kMagic - 1, kMagic) != 0) throw std::runtime_error("LUN record: unknown format");
    Reader r(blob);
    r.Skip(sizeof kMagic - 1);
    KLunRecord record;
    VDS_LUN_INFORMATION& i = record.m_info;
    i.m_version = r.U32();
    i.m_DeviceType = static_cast<BYTE>(r.U32());
    i.m_DeviceTypeModifier = static_cast<BYTE>(r.U32());
    i.m_bCommandQueueing = static_cast<BOOL>(r.U32());
    i.m_BusType = static_cast<VDS_STORAGE_BUS_TYPE>(r.U32());
    i.m_szVendorId = r.Text();
    i.m_szProductId = r.Text();
    i.m_szProductRevision = r.Text();
    i.m_szSerialNumber = r.Text();
    std::string signature = r.Bytes();
    if (signature.size() != sizeof i.m_diskSignature) throw std::runtime_error("LUN record: bad disk signature");
    std::memcpy(&i.m_diskSignature, signature.data(), sizeof i.m_diskSignature);
    i.m_deviceIdDescriptor.m_version = r.U32();
    const bool hasIds = r.U32() != 0;
    const uint32_t idCount = r.Count(16);
    if (hasIds) {
        i.m_deviceIdDescriptor.m_rgIdentifiers =
            static_cast<VDS_STORAGE_IDENTIFIER*>(Alloc(sizeof(VDS_STORAGE_IDENTIFIER) * idCount));
        std::memset(i.m_deviceIdDescriptor.m_rgIdentifiers, 0, sizeof(VDS_STORAGE_IDENTIFIER) * idCount);
        i.m_deviceIdDescriptor.m_cIdentifiers = idCount;
    } else if (idCount != 0) {
        throw std::runtime_error("LUN record: identifiers without an array");
    }
    for (uint32_t k = 0; k < idCount; ++k) {
        VDS_STORAGE_IDENTIFIER& id = i.m_deviceIdDescriptor.m_rgIdentifiers[k];
        id.m_CodeSet = static_cast<VDS_STORAGE_IDENTIFIER_CODE_SET>(r.U32());
        id.m_Type = static_cast<VDS_STORAGE_IDENTIFIER_TYPE>(r.U32());
        id.m_cbIdentifier = r.U32();
        id.m_rgbIdentifier = r.Buffer(id.m_cbIdentifier);
    }
    const uint32_t linkCount = r.Count(16);
    if (linkCount != 0) {
        i.m_rgInterconnects = static_cast<VDS_INTERCONNECT*>(Alloc(sizeof(VDS_INTERCONNECT) * linkCount));
        std::memset(i.m_rgInterconnects, 0, sizeof(VDS_INTERCONNECT) * linkCount);
        i.m_cInterconnects = linkCount;
    }
    for (uint32_t k = 0; k < linkCount; ++k) {
        VDS_INTERCONNECT& link = i.m_rgInterconnects[k];
        link.m_addressType = static_cast<VDS_INTERCONNECT_ADDRESS_TYPE>(r.U32());
        link.m_cbPort = r.U32();
        link.m_pbPort = r.Buffer(link.m_cbPort);
        link.m_cbAddress = r.U32();
        link.m_pbAddress = r.Buffer(link.m_cbAddress);
    }
    if (!r.AtEnd()) throw std::runtime_error("LUN record: trailing bytes");
    return record;
}

std::vector<std::string> BlockDevices() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(KorvelSysfsRoot() + "/class/block", ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string IdentifierText(const VDS_STORAGE_IDENTIFIER& id) {
    return id.m_rgbIdentifier == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(id.m_rgbIdentifier), id.m_cbIdentifier);
}

}  // namespace Korvel
