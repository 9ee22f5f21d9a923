#include "LunIdentity.h"

#include <cstdio>

#include "Logger.h"

namespace Korvel {

namespace {

// The rules are the provider's, and so are their lines.
constexpr const char* kComponent = KorvelLog::kProviderComponent;
constexpr const char* kTagPrefix = "Korvel-";
constexpr const char* kWhitespace = " \t\f\v\n\r";

void AppendHex(std::string& out, const BYTE* bytes, size_t count) {
    char digits[3];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02hx", static_cast<unsigned short>(bytes[i]));
        out += digits;
    }
}

// A NUL-terminated text at `offset`, read no further than the buffer's end.
std::string TextAt(const std::vector<BYTE>& buffer, DWORD offset) {
    if (offset >= buffer.size()) return std::string();
    const char* start = reinterpret_cast<const char*>(buffer.data()) + offset;
    return std::string(start, strnlen(start, buffer.size() - offset));
}

// A page the device must answer; its failure is logged with the page's number.
bool RequestPage(const std::string& deviceName, HANDLE device, STORAGE_PROPERTY_ID property, const char* page,
                 std::vector<BYTE>& buffer) {
    if (QueryDeviceProperty(device, property, buffer)) return true;
    Logger::Write(KLOG_ERROR, kComponent,
                  "Cannot request Page #%s information for device '%s', [DeviceIoControl() error: %d]", page,
                  deviceName.c_str(), static_cast<int>(GetLastError()));
    return false;
}

}  // namespace

KDeviceHandle OpenDevice(const std::string& deviceName) {
    return KDeviceHandle(CreateFileA(deviceName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
}

bool QueryDeviceProperty(HANDLE device, STORAGE_PROPERTY_ID property, std::vector<BYTE>& buffer) {
    buffer.assign(kDevicePropertyBufferSize, 0);
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = property;
    query.QueryType = PropertyStandardQuery;
    DWORD returned = 0;
    return DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(),
                           kDevicePropertyBufferSize, &returned, nullptr);
}

std::string LunIeeeIdOf(const VDS_LUN_INFORMATION& lun) {
    std::string lunIeeeId;
    const VDS_STORAGE_DEVICE_ID_DESCRIPTOR& descriptor = lun.m_deviceIdDescriptor;
    if (descriptor.m_rgIdentifiers == nullptr) return lunIeeeId;
    for (ULONG i = 0; i < descriptor.m_cIdentifiers; ++i) {
        const VDS_STORAGE_IDENTIFIER& id = descriptor.m_rgIdentifiers[i];
        if (id.m_Type == VDSStorageIdTypeEUI64 && id.m_rgbIdentifier != nullptr)
            AppendHex(lunIeeeId, id.m_rgbIdentifier, id.m_cbIdentifier);
    }
    return lunIeeeId;
}

bool IsApplianceVendorId(const char* text) { return text != nullptr && std::strcmp(text, "Korvel") == 0; }

HRESULT SetProviderTag(VDS_LUN_INFORMATION& lun, const std::string& key) {
    const std::string text = kTagPrefix + key;
    auto* identifier = static_cast<VDS_STORAGE_IDENTIFIER*>(CoTaskMemAlloc(sizeof(VDS_STORAGE_IDENTIFIER)));
    if (identifier == nullptr) return E_OUTOFMEMORY;
    auto* bytes = static_cast<BYTE*>(CoTaskMemAlloc(text.size()));
    if (bytes == nullptr) {
        CoTaskMemFree(identifier);
        return E_OUTOFMEMORY;
    }
    std::memcpy(bytes, text.data(), text.size());
    identifier->m_CodeSet = VDSStorageIdCodeSetAscii;
    identifier->m_Type = VDSStorageIdTypeVendorId;
    identifier->m_cbIdentifier = static_cast<ULONG>(text.size());
    identifier->m_rgbIdentifier = bytes;
    // The record belongs to VSS; what it held before would otherwise leak.
    KorvelFreeLunIdentifiers(lun.m_deviceIdDescriptor);
    lun.m_deviceIdDescriptor.m_rgIdentifiers = identifier;
    lun.m_deviceIdDescriptor.m_cIdentifiers = 1;
    return S_OK;
}

std::string GetProviderTagKey(const VDS_LUN_INFORMATION& lun) {
    std::string text;
    const VDS_STORAGE_DEVICE_ID_DESCRIPTOR& descriptor = lun.m_deviceIdDescriptor;
    if (descriptor.m_rgIdentifiers != nullptr) {
        for (ULONG i = 0; i < descriptor.m_cIdentifiers; ++i) {
            const VDS_STORAGE_IDENTIFIER& id = descriptor.m_rgIdentifiers[i];
            if (id.m_Type != VDSStorageIdTypeVendorId) continue;
            text.clear();
            for (ULONG b = 0; id.m_rgbIdentifier != nullptr && b < id.m_cbIdentifier; ++b)
                if (id.m_rgbIdentifier[b] != 0) text += static_cast<char>(id.m_rgbIdentifier[b]);
        }
    }
    Logger::Write(KLOG_INFO, kComponent, "Identifier data: %s", text.c_str());
    size_t dash = text.find('-');
    return dash == std::string::npos ? text : text.substr(dash + 1);
}

HRESULT RequestPage80Info(const std::string& deviceName, HANDLE device, std::string& vendorId, std::string& productId,
                          std::string& productRevision, std::string& serialNumber) {
    std::vector<BYTE> buffer;
    if (!RequestPage(deviceName, device, StorageDeviceProperty, "80", buffer)) return E_FAIL;
    STORAGE_DEVICE_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, buffer.data(), sizeof descriptor);
    if (descriptor.SerialNumberOffset != 0) serialNumber = TextAt(buffer, descriptor.SerialNumberOffset);
    Logger::Write(KLOG_TRACE, kComponent, "SerialID: %s", serialNumber.c_str());
    if (descriptor.ProductIdOffset != 0) productId = TextAt(buffer, descriptor.ProductIdOffset);
    Logger::Write(KLOG_TRACE, kComponent, "ProductID: %s", productId.c_str());
    if (descriptor.VendorIdOffset != 0) vendorId = TextAt(buffer, descriptor.VendorIdOffset);
    Logger::Write(KLOG_TRACE, kComponent, "VendorID: %s", vendorId.c_str());
    if (descriptor.ProductRevisionOffset != 0) productRevision = TextAt(buffer, descriptor.ProductRevisionOffset);
    Logger::Write(KLOG_TRACE, kComponent, "ProductRevision: %s", productRevision.c_str());
    return S_OK;
}

HRESULT RequestPage83Info(const std::string& deviceName, HANDLE device, std::string& lunIeeeId) {
    std::vector<BYTE> buffer;
    if (!RequestPage(deviceName, device, StorageDeviceIdProperty, "83", buffer)) return E_FAIL;
    STORAGE_DEVICE_ID_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, buffer.data(), sizeof descriptor);
    Logger::Write(KLOG_TRACE, kComponent, "Number of identifiers: %d",
                  static_cast<int>(descriptor.NumberOfIdentifiers));
    ForEachPage83Identifier(buffer, [&](const STORAGE_IDENTIFIER& id, const BYTE* bytes) {
        if (id.Type != StorageIdTypeEUI64) return;
        AppendHex(lunIeeeId, bytes, id.IdentifierSize);
        Logger::Write(KLOG_TRACE, kComponent, "StorageId Type: %d", static_cast<int>(id.Type));
        Logger::Write(KLOG_TRACE, kComponent, "StorageIdTypeEUI64: %s", lunIeeeId.c_str());
    });
    return S_OK;
}

void LeftTrim(std::string& text) {
    size_t first = text.find_first_not_of(kWhitespace);
    if (first == std::string::npos)
        text.clear();
    else
        text.erase(0, first);
}

void RightTrim(std::string& text) {
    size_t last = text.find_last_not_of(kWhitespace);
    if (last == std::string::npos)
        text.clear();
    else
        text.erase(last + 1);
}

}  // namespace Korvel
