// Record layouts and constants of the Windows interfaces the components use,
// with the Windows x64 values written out. The same test is built here
// against the stand-ins and by scripts/windows-check against the Windows
// SDK, so a stand-in that drifts from Windows fails one of the two.
#include "icmp.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "com.h"
#include "errors.h"
#include "registry.h"
#include "storage.h"
#include "vds.h"
#include "vss.h"

namespace {

template <typename T>
uint64_t Value(T value) {
    return static_cast<uint64_t>(static_cast<int64_t>(value));
}

TEST(PlatformFacts, RecordLayoutsAreTheWindowsX64Ones) {
    EXPECT_EQ(sizeof(GUID), 16u);
    EXPECT_EQ(sizeof(WCHAR), 2u);
    EXPECT_EQ(sizeof(LONG), 4u);
    EXPECT_EQ(sizeof(ULONG), 4u);
    EXPECT_EQ(sizeof(BOOL), 4u);
    EXPECT_EQ(sizeof(HRESULT), 4u);
    EXPECT_EQ(sizeof(VSS_PWSZ), 8u);

    EXPECT_EQ(sizeof(VDS_STORAGE_IDENTIFIER), 24u);
    EXPECT_EQ(offsetof(VDS_STORAGE_IDENTIFIER, m_cbIdentifier), 8u);
    EXPECT_EQ(offsetof(VDS_STORAGE_IDENTIFIER, m_rgbIdentifier), 16u);
    EXPECT_EQ(sizeof(VDS_STORAGE_DEVICE_ID_DESCRIPTOR), 16u);
    EXPECT_EQ(offsetof(VDS_STORAGE_DEVICE_ID_DESCRIPTOR, m_rgIdentifiers), 8u);
    EXPECT_EQ(sizeof(VDS_INTERCONNECT), 32u);
    EXPECT_EQ(offsetof(VDS_INTERCONNECT, m_pbPort), 8u);
    EXPECT_EQ(offsetof(VDS_INTERCONNECT, m_pbAddress), 24u);
    EXPECT_EQ(sizeof(VDS_LUN_INFORMATION), 96u);
    EXPECT_EQ(offsetof(VDS_LUN_INFORMATION, m_DeviceTypeModifier), 5u);
    EXPECT_EQ(offsetof(VDS_LUN_INFORMATION, m_bCommandQueueing), 8u);
    EXPECT_EQ(offsetof(VDS_LUN_INFORMATION, m_BusType), 12u);
    EXPECT_EQ(offsetof(VDS_LUN_INFORMATION, m_szVendorId), 16u);
    EXPECT_EQ(offsetof(VDS_LUN_INFORMATION, m_szSerialNumber), 40u);
    EXPECT_EQ(offsetof(VDS_LUN_INFORMATION, m_diskSignature), 48u);
    EXPECT_EQ(offsetof(VDS_LUN_INFORMATION, m_deviceIdDescriptor), 64u);
    EXPECT_EQ(offsetof(VDS_LUN_INFORMATION, m_cInterconnects), 80u);
    EXPECT_EQ(offsetof(VDS_LUN_INFORMATION, m_rgInterconnects), 88u);

    EXPECT_EQ(sizeof(STORAGE_PROPERTY_QUERY), 12u);
    EXPECT_EQ(sizeof(STORAGE_DEVICE_DESCRIPTOR), 40u);
    EXPECT_EQ(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset), 12u);
    EXPECT_EQ(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset), 24u);
    EXPECT_EQ(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType), 28u);
    EXPECT_EQ(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties), 36u);
    EXPECT_EQ(sizeof(STORAGE_DEVICE_ID_DESCRIPTOR), 16u);
    EXPECT_EQ(offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers), 12u);
    EXPECT_EQ(sizeof(STORAGE_IDENTIFIER), 20u);
    EXPECT_EQ(offsetof(STORAGE_IDENTIFIER, NextOffset), 10u);
    EXPECT_EQ(offsetof(STORAGE_IDENTIFIER, Association), 12u);
    EXPECT_EQ(offsetof(STORAGE_IDENTIFIER, Identifier), 16u);

    EXPECT_EQ(sizeof(ICMP_ECHO_REPLY), 40u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, Data), 16u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, Options), 24u);
}

TEST(PlatformFacts, ConstantsAreTheWindowsOnes) {
    EXPECT_EQ(Value(IOCTL_STORAGE_QUERY_PROPERTY), 0x002D1400u);
    EXPECT_EQ(Value(StorageDeviceProperty), 0u);
    EXPECT_EQ(Value(StorageDeviceIdProperty), 2u);
    EXPECT_EQ(Value(PropertyStandardQuery), 0u);
    EXPECT_EQ(Value(StorageIdTypeEUI64), 2u);
    EXPECT_EQ(Value(BusTypeiScsi), 9u);
    EXPECT_EQ(Value(VDSBusTypeiScsi), 9u);
    EXPECT_EQ(Value(VDSBusTypeFibre), 6u);
    EXPECT_EQ(Value(VDSStorageIdTypeVendorId), 1u);
    EXPECT_EQ(Value(VDSStorageIdTypeEUI64), 2u);
    EXPECT_EQ(Value(VDSStorageIdCodeSetAscii), 2u);

    EXPECT_EQ(Value(VSS_VOLSNAP_ATTR_PERSISTENT), 0x1u);
    EXPECT_EQ(Value(VSS_VOLSNAP_ATTR_TRANSPORTABLE), 0x20u);
    EXPECT_EQ(Value(VSS_VOLSNAP_ATTR_PLEX), 0x40000u);
    EXPECT_EQ(Value(VSS_ONLUNSTATECHANGE_NOTIFY_READ_WRITE), 0x100u);
    EXPECT_EQ(Value(VSS_ONLUNSTATECHANGE_NOTIFY_LUN_PRE_RECOVERY), 0x200u);
    EXPECT_EQ(Value(VSS_ONLUNSTATECHANGE_NOTIFY_LUN_POST_RECOVERY), 0x400u);
    EXPECT_EQ(Value(VSS_ONLUNSTATECHANGE_DO_MASK_LUNS), 0x800u);

    EXPECT_EQ(static_cast<uint32_t>(VSS_E_PROVIDER_VETO), 0x80042306u);
    EXPECT_EQ(static_cast<uint32_t>(VSS_E_BAD_STATE), 0x80042301u);
    EXPECT_EQ(static_cast<uint32_t>(VSS_S_ASYNC_FINISHED), 0x0004230Au);
    EXPECT_EQ(static_cast<uint32_t>(E_FAIL), 0x80004005u);
    EXPECT_EQ(static_cast<uint32_t>(E_INVALIDARG), 0x80070057u);
    EXPECT_EQ(static_cast<uint32_t>(E_OUTOFMEMORY), 0x8007000Eu);
    EXPECT_EQ(static_cast<uint32_t>(E_ACCESSDENIED), 0x80070005u);
    EXPECT_EQ(static_cast<uint32_t>(E_NOINTERFACE), 0x80004002u);
    EXPECT_EQ(static_cast<uint32_t>(CLASS_E_NOAGGREGATION), 0x80040110u);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), E_ACCESSDENIED);

    EXPECT_EQ(Value(ERROR_FILE_NOT_FOUND), 2u);
    EXPECT_EQ(Value(ERROR_ACCESS_DENIED), 5u);
    EXPECT_EQ(Value(ERROR_MORE_DATA), 234u);
    EXPECT_EQ(Value(ERROR_NO_MORE_ITEMS), 259u);
    EXPECT_EQ(Value(REG_SZ), 1u);
    EXPECT_EQ(Value(REG_EXPAND_SZ), 2u);
    EXPECT_EQ(Value(REG_DWORD), 4u);
    EXPECT_EQ(Value(KEY_READ), 0x20019u);
    EXPECT_EQ(Value(KEY_WRITE), 0x20006u);
    EXPECT_EQ(Value(KEY_ALL_ACCESS), 0xF003Fu);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE), static_cast<uintptr_t>(0xFFFFFFFF80000002ull));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT), static_cast<uintptr_t>(0xFFFFFFFF80000000ull));
    EXPECT_EQ(Value(IP_SUCCESS), 0u);
    EXPECT_EQ(Value(IP_REQ_TIMED_OUT), 11010u);
    EXPECT_EQ(Value(FORMAT_MESSAGE_FROM_SYSTEM), 0x1000u);
}

TEST(PlatformFacts, InterfaceIdsAreTheWindowsOnes) {
    EXPECT_EQ(KorvelGuidText(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
    EXPECT_EQ(KorvelGuidText(IID_IClassFactory), "{00000001-0000-0000-C000-000000000046}");
    EXPECT_EQ(KorvelGuidText(IID_IVssAsync), "{507C37B4-CF5B-4E95-B0AF-14EB9767467E}");
    EXPECT_EQ(KorvelGuidText(IID_IVssHardwareSnapshotProvider), "{9593A157-44E9-4344-BBEB-44FBF9B06B10}");
    EXPECT_EQ(KorvelGuidText(IID_IVssHardwareSnapshotProviderEx), "{7F5BA925-CDB1-4D11-A71F-339EB7E709FD}");
    EXPECT_EQ(KorvelGuidText(IID_IVssProviderCreateSnapshotSet), "{5F894E5B-1E39-4778-8E23-9ABAD9F0E08C}");
    EXPECT_EQ(KorvelGuidText(IID_IVssProviderNotifications), "{E561901F-03A5-4AFE-86D0-72BAEECE7004}");
}

}  // namespace
