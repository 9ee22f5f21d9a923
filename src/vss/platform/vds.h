// The disk service's LUN description records, as the shadow copy service
// hands them to hardware providers. Layouts equal the Windows x64 ones.
#pragma once

#include <cstddef>

#include "com.h"

typedef enum _VDS_STORAGE_BUS_TYPE {
    VDSBusTypeUnknown = 0,
    VDSBusTypeScsi = 0x1,
    VDSBusTypeAtapi = 0x2,
    VDSBusTypeAta = 0x3,
    VDSBusType1394 = 0x4,
    VDSBusTypeSsa = 0x5,
    VDSBusTypeFibre = 0x6,
    VDSBusTypeUsb = 0x7,
    VDSBusTypeRAID = 0x8,
    VDSBusTypeiScsi = 0x9,
    VDSBusTypeSas = 0xa,
    VDSBusTypeSata = 0xb,
    VDSBusTypeSd = 0xc,
    VDSBusTypeMmc = 0xd,
    VDSBusTypeMax = 0xe,
    VDSBusTypeVirtual = 0xe,
    VDSBusTypeFileBackedVirtual = 0xf,
    VDSBusTypeSpaces = 0x10,
    VDSBusTypeNVMe = 0x11,
    VDSBusTypeScm = 0x12,
    VDSBusTypeUfs = 0x13,
    VDSBusTypeMaxReserved = 0x7f
} VDS_STORAGE_BUS_TYPE;

typedef enum _VDS_STORAGE_IDENTIFIER_CODE_SET {
    VDSStorageIdCodeSetReserved = 0,
    VDSStorageIdCodeSetBinary = 1,
    VDSStorageIdCodeSetAscii = 2,
    VDSStorageIdCodeSetUtf8 = 3
} VDS_STORAGE_IDENTIFIER_CODE_SET;

typedef enum _VDS_STORAGE_IDENTIFIER_TYPE {
    VDSStorageIdTypeVendorSpecific = 0,
    VDSStorageIdTypeVendorId = 1,
    VDSStorageIdTypeEUI64 = 2,
    VDSStorageIdTypeFCPHName = 3,
    VDSStorageIdTypePortRelative = 4,
    VDSStorageIdTypeTargetPortGroup = 5,
    VDSStorageIdTypeLogicalUnitGroup = 6,
    VDSStorageIdTypeMD5LogicalUnitIdentifier = 7,
    VDSStorageIdTypeScsiNameString = 8
} VDS_STORAGE_IDENTIFIER_TYPE;

typedef enum _VDS_INTERCONNECT_ADDRESS_TYPE {
    VDS_IA_UNKNOWN = 0,
    VDS_IA_FCFS = 1,
    VDS_IA_FCPH = 2,
    VDS_IA_FCPH3 = 3,
    VDS_IA_MAC = 4,
    VDS_IA_SCSI = 5
} VDS_INTERCONNECT_ADDRESS_TYPE;

typedef struct _VDS_STORAGE_IDENTIFIER {
    VDS_STORAGE_IDENTIFIER_CODE_SET m_CodeSet;
    VDS_STORAGE_IDENTIFIER_TYPE m_Type;
    ULONG m_cbIdentifier;
    BYTE* m_rgbIdentifier;
} VDS_STORAGE_IDENTIFIER;

typedef struct _VDS_STORAGE_DEVICE_ID_DESCRIPTOR {
    ULONG m_version;
    ULONG m_cIdentifiers;
    VDS_STORAGE_IDENTIFIER* m_rgIdentifiers;
} VDS_STORAGE_DEVICE_ID_DESCRIPTOR;

typedef struct _VDS_INTERCONNECT {
    VDS_INTERCONNECT_ADDRESS_TYPE m_addressType;
    ULONG m_cbPort;
    BYTE* m_pbPort;
    ULONG m_cbAddress;
    BYTE* m_pbAddress;
} VDS_INTERCONNECT;

#define VER_VDS_LUN_INFORMATION 1

typedef struct _VDS_LUN_INFORMATION {
    ULONG m_version;
    BYTE m_DeviceType;
    BYTE m_DeviceTypeModifier;
    BOOL m_bCommandQueueing;
    VDS_STORAGE_BUS_TYPE m_BusType;
    char* m_szVendorId;
    char* m_szProductId;
    char* m_szProductRevision;
    char* m_szSerialNumber;
    GUID m_diskSignature;
    VDS_STORAGE_DEVICE_ID_DESCRIPTOR m_deviceIdDescriptor;
    ULONG m_cInterconnects;
    VDS_INTERCONNECT* m_rgInterconnects;
} VDS_LUN_INFORMATION;

static_assert(sizeof(VDS_STORAGE_IDENTIFIER) == 24, "VDS_STORAGE_IDENTIFIER layout");
static_assert(offsetof(VDS_STORAGE_IDENTIFIER, m_CodeSet) == 0, "VDS_STORAGE_IDENTIFIER layout");
static_assert(offsetof(VDS_STORAGE_IDENTIFIER, m_Type) == 4, "VDS_STORAGE_IDENTIFIER layout");
static_assert(offsetof(VDS_STORAGE_IDENTIFIER, m_cbIdentifier) == 8, "VDS_STORAGE_IDENTIFIER layout");
static_assert(offsetof(VDS_STORAGE_IDENTIFIER, m_rgbIdentifier) == 16, "VDS_STORAGE_IDENTIFIER layout");

static_assert(sizeof(VDS_STORAGE_DEVICE_ID_DESCRIPTOR) == 16, "VDS_STORAGE_DEVICE_ID_DESCRIPTOR layout");
static_assert(offsetof(VDS_STORAGE_DEVICE_ID_DESCRIPTOR, m_version) == 0, "VDS_STORAGE_DEVICE_ID_DESCRIPTOR layout");
static_assert(offsetof(VDS_STORAGE_DEVICE_ID_DESCRIPTOR, m_cIdentifiers) == 4,
              "VDS_STORAGE_DEVICE_ID_DESCRIPTOR layout");
static_assert(offsetof(VDS_STORAGE_DEVICE_ID_DESCRIPTOR, m_rgIdentifiers) == 8,
              "VDS_STORAGE_DEVICE_ID_DESCRIPTOR layout");

static_assert(sizeof(VDS_INTERCONNECT) == 32, "VDS_INTERCONNECT layout");
static_assert(offsetof(VDS_INTERCONNECT, m_addressType) == 0, "VDS_INTERCONNECT layout");
static_assert(offsetof(VDS_INTERCONNECT, m_cbPort) == 4, "VDS_INTERCONNECT layout");
static_assert(offsetof(VDS_INTERCONNECT, m_pbPort) == 8, "VDS_INTERCONNECT layout");
static_assert(offsetof(VDS_INTERCONNECT, m_cbAddress) == 16, "VDS_INTERCONNECT layout");
static_assert(offsetof(VDS_INTERCONNECT, m_pbAddress) == 24, "VDS_INTERCONNECT layout");

static_assert(sizeof(VDS_LUN_INFORMATION) == 96, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_version) == 0, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_DeviceType) == 4, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_DeviceTypeModifier) == 5, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_bCommandQueueing) == 8, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_BusType) == 12, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_szVendorId) == 16, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_szProductId) == 24, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_szProductRevision) == 32, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_szSerialNumber) == 40, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_diskSignature) == 48, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_deviceIdDescriptor) == 64, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_cInterconnects) == 80, "VDS_LUN_INFORMATION layout");
static_assert(offsetof(VDS_LUN_INFORMATION, m_rgInterconnects) == 88, "VDS_LUN_INFORMATION layout");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(BOOL) == 4 && sizeof(HRESULT) == 4,
              "Windows scalar sizes");
static_assert(sizeof(WCHAR) == 2 && sizeof(void*) == 8, "Windows scalar sizes");
