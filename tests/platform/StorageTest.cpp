// The disk queries on a sysfs tree made by the test: the exact bytes and
// sizes IOCTL_STORAGE_QUERY_PROPERTY answers, whatever buffer it is given.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestEnv.h"
#include "storage.h"

namespace fs = std::filesystem;
using korvel_test::TempDir;

namespace {

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KORVEL_SYSFS_ROOT", m_root.Path().c_str(), 1);
        // An iSCSI disk, as the kernel lays one out.
        m_device = m_root.Path() + "/devices/platform/host3/session3/target3:0:0/3:0:0:1";
        fs::create_directories(m_device);
        fs::create_directories(m_root.Path() + "/class/block/sdx");
        fs::create_directory_symlink(m_device, m_root.Path() + "/class/block/sdx/device");
    }
    void TearDown() override {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        unsetenv("KORVEL_SYSFS_ROOT");
    }
    void Write(const std::string& name, const std::string& bytes) {
        std::ofstream(m_device + "/" + name, std::ios::binary) << bytes;
    }
    // The answer to a query with a buffer of `size` bytes, each 0xAA before
    // the call; `ok` and `returned` tell the call's result.
    std::vector<BYTE> Query(STORAGE_PROPERTY_ID property, DWORD size, BOOL& ok, DWORD& returned,
                            STORAGE_QUERY_TYPE type = PropertyStandardQuery) {
        if (m_handle == INVALID_HANDLE_VALUE)
            m_handle = CreateFileA("/dev/sdx", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        STORAGE_PROPERTY_QUERY query{property, type, {0}};
        std::vector<BYTE> out(size + 1, 0xAA);
        returned = 12345;
        SetLastError(ERROR_SUCCESS);
        ok = DeviceIoControl(m_handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(), size,
                             &returned, nullptr);
        EXPECT_EQ(out[size], 0xAA) << "written past the buffer of " << size;
        out.pop_back();
        return out;
    }
    static DWORD U32(const std::vector<BYTE>& b, size_t at) {
        DWORD v;
        std::memcpy(&v, b.data() + at, sizeof v);
        return v;
    }
    static std::string Str(const std::vector<BYTE>& b, size_t at, size_t n) {
        return std::string(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
    }

    TempDir m_root;
    std::string m_device;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// VPD page 0x83: NAA, EUI-64 and a SCSI name (association: target) are
// kept; a designator type above 8 is not; a descriptor running past the
// page's end stops the walk.
const std::string kPage83 = std::string("\0\x83\0\x37", 4) +
                            std::string("\x01\x03\0\x08\x60\x01\x02\x03\x04\x05\x06\x07", 12) +
                            std::string("\x01\x02\0\x08\x6b\x72\x76\0\0\0\x0c\x01", 12) +
                            std::string("\x03\x28\0\x0diqn.2024-01.x", 17) + std::string("\x01\x0a\0\x04wxyz", 8) +
                            std::string("\x01\x03\0\x10\x01\x02", 6);

TEST_F(StorageTest, DeviceIdentifiersFillExactlyTheBufferGivenAndTellTheWholeSize) {
    Write("vpd_pg83", kPage83);
    BOOL ok = FALSE;
    DWORD returned = 0;
    // 12 header bytes, then 16 + 8, 16 + 8 and 16 + 13 rounded up to 4.
    const std::vector<BYTE> whole = Query(StorageDeviceIdProperty, 200, ok, returned);
    ASSERT_TRUE(ok);
    EXPECT_EQ(returned, 92u);
    EXPECT_EQ(U32(whole, 0), sizeof(STORAGE_DEVICE_ID_DESCRIPTOR));
    EXPECT_EQ(U32(whole, 4), 92u);
    EXPECT_EQ(U32(whole, 8), 3u);
    struct Expected {
        DWORD codeSet, type, association;
        std::string bytes;
        size_t next;
    };
    const Expected ids[] = {{1, 3, 0, std::string("\x60\x01\x02\x03\x04\x05\x06\x07", 8), 24},
                            {1, 2, 0, std::string("\x6b\x72\x76\0\0\0\x0c\x01", 8), 24},
                            {3, 8, 2, "iqn.2024-01.x", 32}};
    size_t at = 12;
    for (const Expected& id : ids) {
        STORAGE_IDENTIFIER got;
        std::memcpy(&got, whole.data() + at, sizeof got);
        EXPECT_EQ(got.CodeSet, id.codeSet) << at;
        EXPECT_EQ(got.Type, id.type) << at;
        EXPECT_EQ(got.Association, id.association) << at;
        EXPECT_EQ(got.IdentifierSize, id.bytes.size()) << at;
        EXPECT_EQ(got.NextOffset, id.next) << at;
        EXPECT_EQ(Str(whole, at + 16, id.bytes.size()), id.bytes) << at;
        EXPECT_EQ(Str(whole, at + 16 + id.bytes.size(), id.next - 16 - id.bytes.size()),
                  std::string(id.next - 16 - id.bytes.size(), '\0'))
            << at;
        at += id.next;
    }

    // Shorter buffers get as much as fits, and the header still tells the
    // whole size; below the header's first two fields, nothing.
    for (DWORD size : {92u, 91u, 8u}) {
        const std::vector<BYTE> part = Query(StorageDeviceIdProperty, size, ok, returned);
        EXPECT_TRUE(ok) << size;
        EXPECT_EQ(returned, size);
        EXPECT_EQ(Str(part, 0, size), Str(whole, 0, size));
    }
    Query(StorageDeviceIdProperty, 7, ok, returned);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, 0u);

    // A page without designators: the whole descriptor, no identifier.
    Write("vpd_pg83", std::string("\0\x83\0\0", 4));
    const std::vector<BYTE> none = Query(StorageDeviceIdProperty, 64, ok, returned);
    EXPECT_TRUE(ok);
    EXPECT_EQ(returned, sizeof(STORAGE_DEVICE_ID_DESCRIPTOR));
    EXPECT_EQ(U32(none, 4), sizeof(STORAGE_DEVICE_ID_DESCRIPTOR));
    EXPECT_EQ(U32(none, 8), 0u);

    // Without the page: the property does not exist, asked either way.
    EXPECT_TRUE(fs::remove(m_device + "/vpd_pg83"));
    Query(StorageDeviceIdProperty, 64, ok, returned, PropertyExistsQuery);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    Query(StorageDeviceIdProperty, 64, ok, returned);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    // A disk that went away after it was opened is no longer connected.
    fs::remove_all(m_device);
    Query(StorageDeviceIdProperty, 64, ok, returned);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_F(StorageTest, DeviceDescriptorHoldsTheInquiryTextsAndTellsItsWholeSize) {
    Write("type", "5\n");
    Write("queue_depth", "32\n");
    Write("vendor", "Korvel  \n");
    Write("model", "QSTA-Volume     \n");
    Write("rev", " 1.2\n");
    // The serial number ends at its length or its first zero, whichever comes first.
    Write("vpd_pg80", std::string("\0\x80\0\x06v1\0\0\0\0zz", 12));
    BOOL ok = FALSE;
    DWORD returned = 0;
    // 36 bytes up to RawDeviceProperties and 4 of them, then the texts with their zeros.
    const std::vector<BYTE> whole = Query(StorageDeviceProperty, 100, ok, returned);
    ASSERT_TRUE(ok);
    EXPECT_EQ(returned, 74u);
    STORAGE_DEVICE_DESCRIPTOR d;
    std::memcpy(&d, whole.data(), sizeof d);
    EXPECT_EQ(d.Version, sizeof(STORAGE_DEVICE_DESCRIPTOR));
    EXPECT_EQ(d.Size, 74u);
    EXPECT_EQ(d.DeviceType, 5);
    EXPECT_EQ(d.DeviceTypeModifier, 0);
    EXPECT_EQ(d.CommandQueueing, 1);
    EXPECT_EQ(d.BusType, BusTypeiScsi);
    EXPECT_EQ(d.RawPropertiesLength, 0u);
    EXPECT_EQ(d.VendorIdOffset, 40u);
    EXPECT_EQ(d.ProductIdOffset, 49u);
    EXPECT_EQ(d.ProductRevisionOffset, 66u);
    EXPECT_EQ(d.SerialNumberOffset, 71u);
    EXPECT_EQ(Str(whole, 36, 38), std::string("\0\0\0\0Korvel  \0QSTA-Volume     \0 1.2\0v1\0", 38));
    const std::vector<BYTE> part = Query(StorageDeviceProperty, 8, ok, returned);
    EXPECT_TRUE(ok);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(Str(part, 0, 8), Str(whole, 0, 8));

    // Texts the disk lacks have offset 0; one command slot is no queueing.
    fs::remove(m_device + "/vendor");
    fs::remove(m_device + "/vpd_pg80");
    Write("queue_depth", "1\n");
    std::memcpy(&d, Query(StorageDeviceProperty, 100, ok, returned).data(), sizeof d);
    EXPECT_EQ(returned, 62u);
    EXPECT_EQ(d.VendorIdOffset, 0u);
    EXPECT_EQ(d.ProductIdOffset, 40u);
    EXPECT_EQ(d.SerialNumberOffset, 0u);
    EXPECT_EQ(d.CommandQueueing, 0);

    // The bus comes from where the disk hangs in the device tree.
    const std::pair<const char*, STORAGE_BUS_TYPE> buses[] = {
        {"pci0/host1/rport-1:0-0/target1:0:0/1:0:0:0", BusTypeFibre},
        {"pci0/host2/port-2:0/end_device-2:0/target2:0:0/2:0:0:0", BusTypeSas},
        {"pci0/usb1/1-1/host4/target4:0:0/4:0:0:0", BusTypeUsb},
        {"pci0/ata5/host5/target5:0:0/5:0:0:0", BusTypeSata},
        {"pci0/host6/target6:0:0/6:0:0:0", BusTypeScsi},
        {"virtual/nothing/7:0:0:0", BusTypeUnknown}};
    for (const auto& [path, bus] : buses) {
        const std::string dir = m_root.Path() + "/devices/" + path;
        fs::create_directories(dir);
        const std::string name = "sd" + std::to_string(static_cast<int>(bus));
        fs::create_directories(m_root.Path() + "/class/block/" + name);
        fs::create_directory_symlink(dir, m_root.Path() + "/class/block/" + name + "/device");
        HANDLE disk = CreateFileA(("/dev/" + name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        STORAGE_PROPERTY_QUERY query{StorageDeviceProperty, PropertyStandardQuery, {0}};
        d = STORAGE_DEVICE_DESCRIPTOR{};
        EXPECT_TRUE(DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &d, sizeof d, &returned,
                                    nullptr));
        EXPECT_EQ(d.BusType, bus) << path;
        CloseHandle(disk);
    }
}

}  // namespace
