// LUN identity: turning Windows' descriptions of a LUN into the keys the
// appliance knows (the LUN IEEE ID), the appliance vendor rule and the
// provider's own tag in a LUN record.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "KHandle.h"
#include "storage.h"
#include "vss.h"

namespace Korvel {

struct KDeviceHandleTraits {
    using Handle = HANDLE;
    static Handle Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Release(Handle handle) noexcept { CloseHandle(handle); }
};
// A device opened with CreateFileA, closed on every way out.
using KDeviceHandle = KHandle<KDeviceHandleTraits>;

// Opens a disk ("/dev/sdb") for the descriptions below; empty on failure,
// with GetLastError() saying why.
KDeviceHandle OpenDevice(const std::string& deviceName);

// The answer of IOCTL_STORAGE_QUERY_PROPERTY for `property`, in a buffer of
// kDevicePropertyBufferSize bytes; false (GetLastError() set) on failure.
constexpr DWORD kDevicePropertyBufferSize = 8192;
bool QueryDeviceProperty(HANDLE device, STORAGE_PROPERTY_ID property, std::vector<BYTE>& buffer);

// Calls visit(identifier header, its bytes) for each identifier of a page
// 0x83 answer (StorageDeviceIdProperty), read no further than the buffer's end.
template <typename Visit>
void ForEachPage83Identifier(const std::vector<BYTE>& buffer, Visit visit);

// The hex text of every EUI-64 identifier of the record, in order; empty
// when it has none.
std::string LunIeeeIdOf(const VDS_LUN_INFORMATION& lun);

// The vendor ID the appliance's LUNs answer with, exactly.
bool IsApplianceVendorId(const char* text);

// Replaces the record's identifiers with the provider's tag of `key`
// ("Korvel-<key>", vendor-ID type); E_OUTOFMEMORY when it cannot.
HRESULT SetProviderTag(VDS_LUN_INFORMATION& lun, const std::string& key);
// The key of the record's last vendor-ID identifier (text after the first '-').
std::string GetProviderTagKey(const VDS_LUN_INFORMATION& lun);

// The page 0x80 inquiry texts of an open device; E_FAIL when the device
// does not answer.
HRESULT RequestPage80Info(const std::string& deviceName, HANDLE device, std::string& vendorId, std::string& productId,
                          std::string& productRevision, std::string& serialNumber);
// The LUN IEEE ID from the device's page 0x83 identifiers; E_FAIL when the
// device does not answer.
HRESULT RequestPage83Info(const std::string& deviceName, HANDLE device, std::string& lunIeeeId);

// Blank trimming as the inquiry texts need it (" \t\f\v\n\r").
void LeftTrim(std::string& text);
void RightTrim(std::string& text);

template <typename Visit>
void ForEachPage83Identifier(const std::vector<BYTE>& buffer, Visit visit) {
    STORAGE_DEVICE_ID_DESCRIPTOR descriptor;
    if (buffer.size() < sizeof descriptor) return;
    std::memcpy(&descriptor, buffer.data(), sizeof descriptor);
    size_t offset = offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers);
    for (DWORD i = 0; i < descriptor.NumberOfIdentifiers; ++i) {
        const size_t start = offset + offsetof(STORAGE_IDENTIFIER, Identifier);
        if (start > buffer.size()) break;
        STORAGE_IDENTIFIER id;
        std::memcpy(&id, buffer.data() + offset, offsetof(STORAGE_IDENTIFIER, Identifier));
        if (start + id.IdentifierSize > buffer.size()) break;
        visit(id, buffer.data() + start);
        // A zero step would read the same entry again; it ends the walk.
        if (id.NextOffset == 0) break;
        offset += id.NextOffset;
    }
}

}  // namespace Korvel
