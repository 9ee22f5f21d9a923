// Opening disks and asking them for their SCSI descriptions. On Linux the
// answers come from sysfs (KORVEL_SYSFS_ROOT, default /sys): a device name
// whose last path component is a block device name ("/dev/sdb") opens
// <root>/class/block/<name>/device/.
#pragma once

#include <cstddef>
#include <string>

#include "errors.h"
#include "wintypes.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

typedef unsigned char BOOLEAN;
typedef uint16_t USHORT;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400u

typedef enum _STORAGE_PROPERTY_ID {
    StorageDeviceProperty = 0,
    StorageAdapterProperty = 1,
    StorageDeviceIdProperty = 2
} STORAGE_PROPERTY_ID;

typedef enum _STORAGE_QUERY_TYPE {
    PropertyStandardQuery = 0,
    PropertyExistsQuery = 1,
    PropertyMaskQuery = 2
} STORAGE_QUERY_TYPE;

typedef struct _STORAGE_PROPERTY_QUERY {
    STORAGE_PROPERTY_ID PropertyId;
    STORAGE_QUERY_TYPE QueryType;
    BYTE AdditionalParameters[1];
} STORAGE_PROPERTY_QUERY;

typedef enum _STORAGE_BUS_TYPE {
    BusTypeUnknown = 0,
    BusTypeScsi = 1,
    BusTypeAtapi = 2,
    BusTypeAta = 3,
    BusType1394 = 4,
    BusTypeSsa = 5,
    BusTypeFibre = 6,
    BusTypeUsb = 7,
    BusTypeRAID = 8,
    BusTypeiScsi = 9,
    BusTypeSas = 10,
    BusTypeSata = 11,
    BusTypeSd = 12,
    BusTypeMmc = 13,
    BusTypeVirtual = 14,
    BusTypeFileBackedVirtual = 15,
    BusTypeSpaces = 16,
    BusTypeNvme = 17
} STORAGE_BUS_TYPE;

typedef struct _STORAGE_DEVICE_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    BYTE DeviceType;
    BYTE DeviceTypeModifier;
    BOOLEAN RemovableMedia;
    BOOLEAN CommandQueueing;
    DWORD VendorIdOffset;
    DWORD ProductIdOffset;
    DWORD ProductRevisionOffset;
    DWORD SerialNumberOffset;
    STORAGE_BUS_TYPE BusType;
    DWORD RawPropertiesLength;
    BYTE RawDeviceProperties[1];
} STORAGE_DEVICE_DESCRIPTOR;

typedef enum _STORAGE_IDENTIFIER_CODE_SET {
    StorageIdCodeSetReserved = 0,
    StorageIdCodeSetBinary = 1,
    StorageIdCodeSetAscii = 2,
    StorageIdCodeSetUtf8 = 3
} STORAGE_IDENTIFIER_CODE_SET;

typedef enum _STORAGE_IDENTIFIER_TYPE {
    StorageIdTypeVendorSpecific = 0,
    StorageIdTypeVendorId = 1,
    StorageIdTypeEUI64 = 2,
    StorageIdTypeFCPHName = 3,
    StorageIdTypePortRelative = 4,
    StorageIdTypeTargetPortGroup = 5,
    StorageIdTypeLogicalUnitGroup = 6,
    StorageIdTypeMD5LogicalUnitIdentifier = 7,
    StorageIdTypeScsiNameString = 8
} STORAGE_IDENTIFIER_TYPE;

typedef enum _STORAGE_ASSOCIATION_TYPE {
    StorageIdAssocDevice = 0,
    StorageIdAssocPort = 1,
    StorageIdAssocTarget = 2
} STORAGE_ASSOCIATION_TYPE;

typedef struct _STORAGE_IDENTIFIER {
    STORAGE_IDENTIFIER_CODE_SET CodeSet;
    STORAGE_IDENTIFIER_TYPE Type;
    USHORT IdentifierSize;
    USHORT NextOffset;
    STORAGE_ASSOCIATION_TYPE Association;
    BYTE Identifier[1];
} STORAGE_IDENTIFIER;

typedef struct _STORAGE_DEVICE_ID_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    DWORD NumberOfIdentifiers;
    BYTE Identifiers[1];
} STORAGE_DEVICE_ID_DESCRIPTOR;

static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "STORAGE_PROPERTY_QUERY layout");
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40, "STORAGE_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12, "STORAGE_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16, "STORAGE_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset) == 20, "STORAGE_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == 24, "STORAGE_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28, "STORAGE_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength) == 32, "STORAGE_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) == 36, "STORAGE_DEVICE_DESCRIPTOR layout");
static_assert(sizeof(STORAGE_DEVICE_ID_DESCRIPTOR) == 16, "STORAGE_DEVICE_ID_DESCRIPTOR layout");
static_assert(offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, NumberOfIdentifiers) == 8, "STORAGE_DEVICE_ID_DESCRIPTOR layout");
static_assert(offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers) == 12, "STORAGE_DEVICE_ID_DESCRIPTOR layout");
static_assert(sizeof(STORAGE_IDENTIFIER) == 20, "STORAGE_IDENTIFIER layout");
static_assert(offsetof(STORAGE_IDENTIFIER, CodeSet) == 0, "STORAGE_IDENTIFIER layout");
static_assert(offsetof(STORAGE_IDENTIFIER, Type) == 4, "STORAGE_IDENTIFIER layout");
static_assert(offsetof(STORAGE_IDENTIFIER, IdentifierSize) == 8, "STORAGE_IDENTIFIER layout");
static_assert(offsetof(STORAGE_IDENTIFIER, NextOffset) == 10, "STORAGE_IDENTIFIER layout");
static_assert(offsetof(STORAGE_IDENTIFIER, Association) == 12, "STORAGE_IDENTIFIER layout");
static_assert(offsetof(STORAGE_IDENTIFIER, Identifier) == 16, "STORAGE_IDENTIFIER layout");

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(HANDLE hObject);

// Linux only: the root of the sysfs tree disks are read from
// (KORVEL_SYSFS_ROOT, default /sys).
std::string KorvelSysfsRoot();
