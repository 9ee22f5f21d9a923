#include "VssDriver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "storage.h"

namespace korvel_test {

namespace {

char* Dup(const std::string& text) {
    auto* copy = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// The service's records hold the inquiry texts without their blank padding.
std::string TrimmedRight(const char* base, DWORD offset) {
    if (offset == 0) return std::string();
    std::string text = base + offset;
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

class DeviceHandle {
public:
    explicit DeviceHandle(const std::string& device)
        : m_handle(CreateFileA(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr)) {
        if (m_handle == INVALID_HANDLE_VALUE)
            throw std::runtime_error("CreateFileA(" + device + ") failed: " + std::to_string(GetLastError()));
    }
    ~DeviceHandle() { CloseHandle(m_handle); }
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    std::vector<BYTE> Query(STORAGE_PROPERTY_ID property) {
        STORAGE_PROPERTY_QUERY query{};
        query.PropertyId = property;
        query.QueryType = PropertyStandardQuery;
        std::vector<BYTE> buffer(8192, 0);
        DWORD returned = 0;
        if (!DeviceIoControl(m_handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &returned, nullptr))
            throw std::runtime_error("DeviceIoControl failed: " + std::to_string(GetLastError()));
        return buffer;
    }

private:
    HANDLE m_handle;
};

}  // namespace

LunRecord& LunRecord::operator=(LunRecord&& other) noexcept {
    if (this != &other) {
        Free(m_info);
        m_info = other.m_info;
        other.m_info = VDS_LUN_INFORMATION{};
    }
    return *this;
}

void LunRecord::Free(VDS_LUN_INFORMATION& info) {
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

LunRecord LunRecord::FromDisk(const std::string& device) {
    DeviceHandle handle(device);
    std::vector<BYTE> page80 = handle.Query(StorageDeviceProperty);
    std::vector<BYTE> page83 = handle.Query(StorageDeviceIdProperty);

    LunRecord record;
    VDS_LUN_INFORMATION& info = record.m_info;
    STORAGE_DEVICE_DESCRIPTOR d;
    std::memcpy(&d, page80.data(), sizeof d);
    const char* base = reinterpret_cast<const char*>(page80.data());
    info.m_version = VER_VDS_LUN_INFORMATION;
    info.m_DeviceType = d.DeviceType;
    info.m_DeviceTypeModifier = d.DeviceTypeModifier;
    info.m_bCommandQueueing = d.CommandQueueing;
    info.m_BusType = static_cast<VDS_STORAGE_BUS_TYPE>(d.BusType);
    info.m_szVendorId = Dup(TrimmedRight(base, d.VendorIdOffset));
    info.m_szProductId = Dup(TrimmedRight(base, d.ProductIdOffset));
    info.m_szProductRevision = Dup(TrimmedRight(base, d.ProductRevisionOffset));
    info.m_szSerialNumber = Dup(TrimmedRight(base, d.SerialNumberOffset));

    STORAGE_DEVICE_ID_DESCRIPTOR ids;
    std::memcpy(&ids, page83.data(), sizeof ids);
    info.m_deviceIdDescriptor.m_version = 1;
    info.m_deviceIdDescriptor.m_cIdentifiers = ids.NumberOfIdentifiers;
    info.m_deviceIdDescriptor.m_rgIdentifiers = static_cast<VDS_STORAGE_IDENTIFIER*>(
        CoTaskMemAlloc(sizeof(VDS_STORAGE_IDENTIFIER) * (ids.NumberOfIdentifiers ? ids.NumberOfIdentifiers : 1)));
    size_t offset = offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers);
    for (DWORD i = 0; i < ids.NumberOfIdentifiers; ++i) {
        STORAGE_IDENTIFIER id;
        std::memcpy(&id, page83.data() + offset, offsetof(STORAGE_IDENTIFIER, Identifier));
        VDS_STORAGE_IDENTIFIER& out = info.m_deviceIdDescriptor.m_rgIdentifiers[i];
        out.m_CodeSet = static_cast<VDS_STORAGE_IDENTIFIER_CODE_SET>(id.CodeSet);
        out.m_Type = static_cast<VDS_STORAGE_IDENTIFIER_TYPE>(id.Type);
        out.m_cbIdentifier = id.IdentifierSize;
        out.m_rgbIdentifier = static_cast<BYTE*>(CoTaskMemAlloc(id.IdentifierSize ? id.IdentifierSize : 1));
        std::memcpy(out.m_rgbIdentifier, page83.data() + offset + offsetof(STORAGE_IDENTIFIER, Identifier),
                    id.IdentifierSize);
        offset += id.NextOffset;
    }
    return record;
}

std::string IdentifierText(const VDS_STORAGE_IDENTIFIER& id) {
    return std::string(reinterpret_cast<const char*>(id.m_rgbIdentifier), id.m_cbIdentifier);
}

VSS_ID NewGuid() {
    static std::mt19937_64 generator(std::random_device{}());
    VSS_ID id;
    uint64_t halves[2] = {generator(), generator()};
    std::memcpy(&id, halves, sizeof id);
    return id;
}

VssDriver::VssDriver(IUnknown* provider) {
    provider->QueryInterface(IID_IVssHardwareSnapshotProviderEx, reinterpret_cast<void**>(&m_hardware));
    provider->QueryInterface(IID_IVssProviderCreateSnapshotSet, reinterpret_cast<void**>(&m_creator));
    provider->QueryInterface(IID_IVssProviderNotifications, reinterpret_cast<void**>(&m_notifications));
    if (m_hardware == nullptr || m_creator == nullptr || m_notifications == nullptr)
        throw std::runtime_error("the provider lacks an interface");
}

VssDriver::~VssDriver() {
    m_notifications->Release();
    m_creator->Release();
    m_hardware->Release();
}

VssDriver::Created VssDriver::Create(std::vector<LunRecord>& sources, LONG context) {
    Created created;
    auto failed = [&created](const char* step, HRESULT hr) {
        if (hr == S_OK) return false;
        created.result = hr;
        created.failedStep = step;
        return true;
    };
    for (LunRecord& source : sources) {
        created.supported = FALSE;
        if (failed("AreLunsSupported",
                    m_hardware->AreLunsSupported(1, context, nullptr, &source.Info(), &created.supported)))
            return created;
        if (!created.supported) {
            created.failedStep = "AreLunsSupported";
            return created;
        }
    }
    created.snapshotSetId = NewGuid();
    for (LunRecord& source : sources) {
        created.snapshotIds.push_back(NewGuid());
        if (failed("BeginPrepareSnapshot",
                    m_hardware->BeginPrepareSnapshot(created.snapshotSetId, created.snapshotIds.back(), context, 1,
                                                     nullptr, &source.Info()))) {
            m_creator->AbortSnapshots(created.snapshotSetId);
            return created;
        }
    }
    const VSS_ID& set = created.snapshotSetId;
    if (failed("EndPrepareSnapshots", m_creator->EndPrepareSnapshots(set)) ||
        failed("PreCommitSnapshots", m_creator->PreCommitSnapshots(set)) ||
        failed("CommitSnapshots", m_creator->CommitSnapshots(set)) ||
        failed("PostCommitSnapshots", m_creator->PostCommitSnapshots(set, static_cast<LONG>(sources.size())))) {
        m_creator->AbortSnapshots(set);
        return created;
    }
    std::vector<VDS_LUN_INFORMATION> sourceInfo;
    for (LunRecord& source : sources) sourceInfo.push_back(source.Info());
    std::vector<VDS_LUN_INFORMATION> targets(sources.size(), VDS_LUN_INFORMATION{});
    HRESULT hr = m_hardware->GetTargetLuns(static_cast<LONG>(sources.size()), nullptr, sourceInfo.data(),
                                           targets.data());
    // Whatever was written belongs to the caller now, also after a failure.
    for (VDS_LUN_INFORMATION& target : targets) {
        LunRecord record;
        record.Info() = target;
        created.targets.push_back(std::move(record));
    }
    failed("GetTargetLuns", hr);
    return created;
}

std::vector<std::string> BlockDevices() {
    const char* root = std::getenv("KORVEL_SYSFS_ROOT");
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(root ? root : "/sys") + "/class/block", ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

HRESULT VssDriver::Expose(std::vector<LunRecord>& targets, std::vector<Exposed>& exposed) {
    const std::vector<std::string> before = BlockDevices();
    std::vector<VDS_LUN_INFORMATION> info;
    for (LunRecord& target : targets) info.push_back(target.Info());
    HRESULT first = m_hardware->LocateLuns(static_cast<LONG>(info.size()), info.data());
    for (const std::string& name : BlockDevices()) {
        if (std::binary_search(before.begin(), before.end(), name)) continue;
        Exposed disk;
        disk.device = "/dev/" + name;
        disk.record = LunRecord::FromDisk(disk.device);
        std::u16string device = Wide(disk.device);
        BOOL supported = FALSE;
        HRESULT hr = m_hardware->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(device.data()), &disk.record.Info(),
                                               &supported);
        if (first == S_OK) first = hr;
        if (hr == S_OK && supported) exposed.push_back(std::move(disk));
    }
    return first;
}

HRESULT VssDriver::Release(Exposed& exposed) {
    std::u16string device = Wide(exposed.device);
    return m_hardware->OnLunEmpty(reinterpret_cast<VSS_PWSZ>(device.data()), &exposed.record.Info());
}

HRESULT VssDriver::Mask(std::vector<LunRecord>& luns) {
    std::vector<VDS_LUN_INFORMATION> info;
    for (LunRecord& lun : luns) info.push_back(lun.Info());
    return m_hardware->OnLunStateChange(info.data(), nullptr, static_cast<DWORD>(info.size()),
                                        VSS_ONLUNSTATECHANGE_DO_MASK_LUNS);
}

HRESULT VssDriver::Revert(LunRecord& tagged, LunRecord& target) {
    IVssAsync* async = nullptr;
    HRESULT hr = m_hardware->ResyncLuns(&tagged.Info(), &target.Info(), 1, &async);
    if (async != nullptr) {
        HRESULT status = S_OK;
        if (async->Wait(INFINITE) != S_OK || async->QueryStatus(&status, nullptr) != S_OK ||
            status != VSS_S_ASYNC_FINISHED)
            hr = E_UNEXPECTED;
        async->Release();
    }
    return hr;
}

}  // namespace korvel_test
