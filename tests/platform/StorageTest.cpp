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
}

}  // namespace
