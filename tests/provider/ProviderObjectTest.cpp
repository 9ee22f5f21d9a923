// The provider object as COM sees it, its LUN identity rules, and the disks
// the platform layer reads from the simulated storage network.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "ProviderEnv.h"
#include "Logger.h"
#include "storage.h"

namespace korvel_test {
namespace {

// An outer object that aggregates the provider, as COM allows for IUnknown.
class Outer : public IUnknown {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG refs = 1;
    IUnknown* inner = nullptr;
};

TEST_F(ProviderTest, ClassFactoryAggregationInterfacesAndModuleLock) {
    const long locksBefore = CKorvelModule::LockCount();
    IClassFactory* factory = CKorvelVSSProviderFactory::Instance();
    Outer outer;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IVssProviderCreateSnapshotSet, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CKorvelModule::LockCount(), locksBefore);

    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    EXPECT_EQ(CKorvelModule::LockCount(), locksBefore + 1);
    // Interfaces reached through the inner object count on the outer one.
    IVssProviderNotifications* notifications = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IVssProviderNotifications, reinterpret_cast<void**>(&notifications)),
              S_OK);
    EXPECT_EQ(outer.refs, 2u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(notifications->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, &outer);
    identity->Release();
    notifications->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(CKorvelModule::LockCount(), locksBefore);

    ComRef<IUnknown> provider = NewProvider();
    const IID* answered[] = {&IID_IKorvelVSSProvider, &IID_IVssProviderCreateSnapshotSet,
                             &IID_IVssHardwareSnapshotProvider, &IID_IVssProviderNotifications,
                             &IID_IVssHardwareSnapshotProviderEx, &IID_IUnknown};
    for (const IID* iid : answered) {
        IUnknown* p = nullptr;
        ASSERT_EQ(provider->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK);
        EXPECT_NE(p, nullptr);
        p->Release();
    }
    IUnknown* refused = reinterpret_cast<IUnknown*>(&outer);
    EXPECT_EQ(provider->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&refused)), E_NOINTERFACE);
    EXPECT_EQ(refused, nullptr);
    // The two hardware interfaces are one implementation; the identity is the first entry's.
    IVssHardwareSnapshotProvider* base = nullptr;
    IVssHardwareSnapshotProviderEx* ex = nullptr;
    provider->QueryInterface(IID_IVssHardwareSnapshotProvider, reinterpret_cast<void**>(&base));
    provider->QueryInterface(IID_IVssHardwareSnapshotProviderEx, reinterpret_cast<void**>(&ex));
    EXPECT_EQ(static_cast<IVssHardwareSnapshotProvider*>(ex), base);
    ULONGLONG mask = 0x5A5A;
    EXPECT_EQ(ex->GetProviderCapabilities(&mask), S_OK);
    EXPECT_EQ(mask, 0x5A5Au);
    base->Release();
    ex->Release();
    // Activation by class ID goes through the class table.
    void* activated = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_KorvelVSSProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IVssProviderNotifications,
                               &activated),
              REGDB_E_CLASSNOTREG);
    DWORD cookie = 0;
    ASSERT_EQ(KorvelRegisterProviderClass(CLSCTX_INPROC_SERVER, &cookie), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_KorvelVSSProvider, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &activated),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(CoCreateInstance(CLSID_KorvelVSSProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IVssProviderNotifications,
                               &activated),
              S_OK);
    EXPECT_EQ(CKorvelModule::LockCount(), locksBefore + 2);  // with `provider`
    static_cast<IVssProviderNotifications*>(activated)->Release();
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(CKorvelModule::LockCount(), locksBefore + 2);  // with `provider`
    factory->LockServer(FALSE);
}

// The simulated storage network through the platform's disk queries.
TEST_F(ProviderTest, MappedVolumesShowAsIscsiDisksUntilUnmapped) {
    auto& sim = AddAppliance("volume name=v1 display-name=data ieee-id=6b72760000000c01 model=QSTA-Volume\n"
                             "volume name=v2 ieee-id=6b72760000000c02\n"
                             "map volume=v1 host=this-host\n");
    ASSERT_EQ(sim.SanDisks().size(), 1u);
    const std::string device = Device(sim, "v1");
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);

    std::string vendor, product, revision, serial, ieee;
    EXPECT_EQ(Korvel::RequestPage80Info(device, handle, vendor, product, revision, serial), S_OK);
    EXPECT_EQ(vendor, "Korvel  ");
    EXPECT_EQ(product, "QSTA-Volume     ");
    EXPECT_EQ(revision, " 1.2");
    EXPECT_EQ(serial, "v1");
    EXPECT_EQ(Korvel::RequestPage83Info(device, handle, ieee), S_OK);
    EXPECT_EQ(ieee, "6b72760000000c01");
    EXPECT_EQ(CountLog(KLOG_TRACE, "Number of identifiers: 2"), 1u);

    // A short buffer gets the header with the whole size; a foreign ioctl is refused.
    STORAGE_PROPERTY_QUERY query{StorageDeviceProperty, PropertyStandardQuery, {0}};
    STORAGE_DEVICE_DESCRIPTOR header{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &header, 8, &returned,
                                nullptr));
    EXPECT_EQ(returned, 8u);
    EXPECT_GT(header.Size, sizeof header);
    EXPECT_FALSE(DeviceIoControl(handle, 0x00070000, &query, sizeof query, &header, sizeof header, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // Identifiers that fill the 8 KiB query buffer to its last byte: the
    // EUI-64 that ends there is read; 4 bytes more, and it is cut off.
    const std::string full = AddForeignDisk("sdz");
    for (size_t filler : {100, 104}) {
        std::string page(4, '\0');
        auto designator = [&page](char type, const std::string& bytes) {
            page += std::string{'\x01', type, '\0', static_cast<char>(bytes.size())} + bytes;
        };
        for (int i = 0; i < 30; ++i) designator('\x01', std::string(252, 'v'));
        designator('\x01', std::string(filler, 'v'));
        designator('\x02', std::string("\x6b\x72\x76\x00\x00\x00\x0d\x01", 8));
        page[2] = static_cast<char>((page.size() - 4) >> 8);
        page[3] = static_cast<char>((page.size() - 4) & 0xFF);
        std::ofstream(SanRoot() + "/class/block/sdz/device/vpd_pg83", std::ios::binary) << page;
        HANDLE disk = CreateFileA(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        std::string eui64;
        EXPECT_EQ(Korvel::RequestPage83Info(full, disk, eui64), S_OK);
        EXPECT_EQ(eui64, filler == 100 ? "6b72760000000d01" : "") << filler;
        CloseHandle(disk);
    }

    LunRecord record = LunRecord::FromDisk(device);
    EXPECT_EQ(record.Info().m_BusType, VDSBusTypeiScsi);
    EXPECT_STREQ(record.Info().m_szVendorId, "Korvel");

    // Mapping through the REST interface adds a disk; unmapping takes it away.
    ASSERT_EQ(sim.SanDisks().size(), 1u);
    {
        std::string address = sim.Address(), key = sim.AccessKey(), name = "v1", server = "this-host";
        Korvel::KAccessLayer::GlobalInit();
        Korvel::KArray array(address, key);
        std::string v2 = "v2";
        EXPECT_EQ(array.AttachVolume(v2, server), 0);
        EXPECT_EQ(sim.SanDisks().size(), 2u);
        EXPECT_EQ(array.DetachVolume(name, server), 0);
        Korvel::KAccessLayer::GlobalCleanup();
    }
    EXPECT_EQ(sim.SanDisks().size(), 1u);
    EXPECT_EQ(Korvel::RequestPage80Info(device, handle, vendor, product, revision, serial), E_FAIL);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Cannot request Page #80 information for device '" + device +
                                           "', [DeviceIoControl() error: 1167]"),
              1u);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateFileA(device.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace korvel_test
