// Turning Windows' descriptions of a LUN into the keys the appliance knows:
// the LUN IEEE ID, the appliance vendor rule and the provider tag.
#include <cstdio>
#include <cstring>

#include "KorvelProvider.h"
#include "Logger.h"
#include "storage.h"

namespace {

constexpr const char* kTagPrefix = "Korvel-";
constexpr const char* kWhitespace = " \t\f\v\n\r";
constexpr DWORD kQueryBufferSize = 8192;

void AppendHex(std::string& out, const BYTE* bytes, size_t count) {
    char digits[3];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02hx", static_cast<unsigned short>(bytes[i]));
        out += digits;
    }
}

// A NUL-terminated text at `offset`, read no further than the buffer's end.
std::string TextAt(const BYTE* buffer, DWORD offset) {
    if (offset >= kQueryBufferSize) return std::string();
    const char* start = reinterpret_cast<const char*>(buffer) + offset;
    return std::string(start, strnlen(start, kQueryBufferSize - offset));
}

BOOL QueryProperty(HANDLE device, STORAGE_PROPERTY_ID property, BYTE* buffer) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = property;
    query.QueryType = PropertyStandardQuery;
    DWORD returned = 0;
    return DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer, kQueryBufferSize,
                           &returned, nullptr);
}

}  // namespace

HRESULT CKorvelVSSProvider::GetLunIeeeId(const VDS_LUN_INFORMATION& lunInfo, std::string& lunIeeeId) {
    const VDS_STORAGE_DEVICE_ID_DESCRIPTOR& descriptor = lunInfo.m_deviceIdDescriptor;
    if (descriptor.m_rgIdentifiers == nullptr) return S_OK;
    for (ULONG i = 0; i < descriptor.m_cIdentifiers; ++i) {
        const VDS_STORAGE_IDENTIFIER& id = descriptor.m_rgIdentifiers[i];
        if (id.m_Type == VDSStorageIdTypeEUI64 && id.m_rgbIdentifier != nullptr)
            AppendHex(lunIeeeId, id.m_rgbIdentifier, id.m_cbIdentifier);
    }
    return S_OK;
}

HRESULT CKorvelVSSProvider::RequestPage80Info(const std::string& deviceName, HANDLE device, std::string& vendorId,
                                              std::string& productId, std::string& productRevision,
                                              std::string& serialNumber) {
    std::vector<BYTE> buffer(kQueryBufferSize, 0);
    if (!QueryProperty(device, StorageDeviceProperty, buffer.data())) {
        Logger::Write(KLOG_ERROR, kProviderComponent,
                      "Cannot request Page #80 information for device '%s', [DeviceIoControl() error: %d]",
                      deviceName.c_str(), static_cast<int>(GetLastError()));
        return E_FAIL;
    }
    STORAGE_DEVICE_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, buffer.data(), sizeof descriptor);
    if (descriptor.SerialNumberOffset != 0) serialNumber = TextAt(buffer.data(), descriptor.SerialNumberOffset);
    Logger::Write(KLOG_TRACE, kProviderComponent, "SerialID: %s", serialNumber.c_str());
    if (descriptor.ProductIdOffset != 0) productId = TextAt(buffer.data(), descriptor.ProductIdOffset);
    Logger::Write(KLOG_TRACE, kProviderComponent, "ProductID: %s", productId.c_str());
    if (descriptor.VendorIdOffset != 0) vendorId = TextAt(buffer.data(), descriptor.VendorIdOffset);
    Logger::Write(KLOG_TRACE, kProviderComponent, "VendorID: %s", vendorId.c_str());
    if (descriptor.ProductRevisionOffset != 0)
        productRevision = TextAt(buffer.data(), descriptor.ProductRevisionOffset);
    Logger::Write(KLOG_TRACE, kProviderComponent, "ProductRevision: %s", productRevision.c_str());
    return S_OK;
}

HRESULT CKorvelVSSProvider::RequestPage83Info(const std::string& deviceName, HANDLE device, std::string& lunIeeeId) {
    std::vector<BYTE> buffer(kQueryBufferSize, 0);
    if (!QueryProperty(device, StorageDeviceIdProperty, buffer.data())) {
        Logger::Write(KLOG_ERROR, kProviderComponent,
                      "Cannot request Page #83 information for device '%s', [DeviceIoControl() error: %d]",
                      deviceName.c_str(), static_cast<int>(GetLastError()));
        return E_FAIL;
    }
    STORAGE_DEVICE_ID_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, buffer.data(), sizeof descriptor);
    Logger::Write(KLOG_TRACE, kProviderComponent, "Number of identifiers: %d",
                  static_cast<int>(descriptor.NumberOfIdentifiers));
    size_t offset = offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers);
    for (DWORD i = 0; i < descriptor.NumberOfIdentifiers; ++i) {
        if (offset + offsetof(STORAGE_IDENTIFIER, Identifier) > kQueryBufferSize) break;
        STORAGE_IDENTIFIER id;
        std::memcpy(&id, buffer.data() + offset, offsetof(STORAGE_IDENTIFIER, Identifier));
        if (offset + offsetof(STORAGE_IDENTIFIER, Identifier) + id.IdentifierSize > kQueryBufferSize) break;
        if (id.Type == StorageIdTypeEUI64) {
            AppendHex(lunIeeeId, buffer.data() + offset + offsetof(STORAGE_IDENTIFIER, Identifier), id.IdentifierSize);
            Logger::Write(KLOG_TRACE, kProviderComponent, "StorageId Type: %d", static_cast<int>(id.Type));
            Logger::Write(KLOG_TRACE, kProviderComponent, "StorageIdTypeEUI64: %s", lunIeeeId.c_str());
        }
        // A zero step would read the same entry again; it ends the walk.
        if (id.NextOffset == 0) break;
        offset += id.NextOffset;
    }
    return S_OK;
}

bool CKorvelVSSProvider::IsApplianceVendorId(const char* text) {
    return text != nullptr && std::strcmp(text, "Korvel") == 0;
}

HRESULT CKorvelVSSProvider::SetProviderTag(VDS_LUN_INFORMATION& lunInfo, const std::string& key) {
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
    KorvelFreeLunIdentifiers(lunInfo.m_deviceIdDescriptor);
    lunInfo.m_deviceIdDescriptor.m_rgIdentifiers = identifier;
    lunInfo.m_deviceIdDescriptor.m_cIdentifiers = 1;
    return S_OK;
}

std::string CKorvelVSSProvider::GetProviderTagKey(const VDS_LUN_INFORMATION& lunInfo) {
    std::string text;
    const VDS_STORAGE_DEVICE_ID_DESCRIPTOR& descriptor = lunInfo.m_deviceIdDescriptor;
    if (descriptor.m_rgIdentifiers != nullptr) {
        for (ULONG i = 0; i < descriptor.m_cIdentifiers; ++i) {
            const VDS_STORAGE_IDENTIFIER& id = descriptor.m_rgIdentifiers[i];
            if (id.m_Type != VDSStorageIdTypeVendorId) continue;
            text.clear();
            for (ULONG b = 0; id.m_rgbIdentifier != nullptr && b < id.m_cbIdentifier; ++b)
                if (id.m_rgbIdentifier[b] != 0) text += static_cast<char>(id.m_rgbIdentifier[b]);
        }
    }
    Logger::Write(KLOG_INFO, kProviderComponent, "Identifier data: %s", text.c_str());
    size_t dash = text.find('-');
    return dash == std::string::npos ? text : text.substr(dash + 1);
}

void CKorvelVSSProvider::LeftTrim(std::string& text) {
    size_t first = text.find_first_not_of(kWhitespace);
    if (first == std::string::npos)
        text.clear();
    else
        text.erase(0, first);
}

void CKorvelVSSProvider::RightTrim(std::string& text) {
    size_t last = text.find_last_not_of(kWhitespace);
    if (last == std::string::npos)
        text.clear();
    else
        text.erase(last + 1);
}
