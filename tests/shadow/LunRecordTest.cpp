// The catalogue keeps LUN records as KLunRecord::Encode writes them: every
// field must come back from Decode, and a damaged blob must be refused.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "KLunRecord.h"

namespace {

using Korvel::KLunRecord;

template <typename T>
T* Copied(const void* bytes, size_t size) {
    auto* p = static_cast<T*>(CoTaskMemAlloc(size));
    std::memcpy(p, bytes, size);
    return p;
}

char* Text(const char* text) { return Copied<char>(text, std::strlen(text) + 1); }

std::string Bytes(const BYTE* p, ULONG n) { return p == nullptr ? "<null>" : std::string(p, p + n); }

// Each field has a value of its own, none zero, so a dropped field shows.
KLunRecord FullRecord() {
    KLunRecord record;
    VDS_LUN_INFORMATION& i = record.Info();
    i.m_version = VER_VDS_LUN_INFORMATION;
    i.m_DeviceType = 0x1f;
    i.m_DeviceTypeModifier = 0x2e;
    i.m_bCommandQueueing = TRUE;
    i.m_BusType = VDSBusTypeiScsi;
    i.m_szVendorId = Text("Korvel");
    i.m_szProductId = Text("QSTA-Volume");
    i.m_szProductRevision = Text("1.2");
    i.m_szSerialNumber = Text("vol-7");
    i.m_diskSignature = GUID{0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
    i.m_deviceIdDescriptor.m_version = 3;
    i.m_deviceIdDescriptor.m_cIdentifiers = 2;
    i.m_deviceIdDescriptor.m_rgIdentifiers =
        static_cast<VDS_STORAGE_IDENTIFIER*>(CoTaskMemAlloc(2 * sizeof(VDS_STORAGE_IDENTIFIER)));
    i.m_deviceIdDescriptor.m_rgIdentifiers[0] = {VDSStorageIdCodeSetBinary, VDSStorageIdTypeEUI64, 8,
                                                 Copied<BYTE>("\x6b\x72\x76\0\0\0\x0c\x01", 8)};
    i.m_deviceIdDescriptor.m_rgIdentifiers[1] = {VDSStorageIdCodeSetUtf8, VDSStorageIdTypeScsiNameString, 5, nullptr};
    i.m_cInterconnects = 2;
    i.m_rgInterconnects = static_cast<VDS_INTERCONNECT*>(CoTaskMemAlloc(2 * sizeof(VDS_INTERCONNECT)));
    i.m_rgInterconnects[0] = {VDS_IA_SCSI, 3, Copied<BYTE>("p01", 3), 6, Copied<BYTE>("addr-1", 6)};
    i.m_rgInterconnects[1] = {VDS_IA_FCPH, 2, nullptr, 4, Copied<BYTE>("a-22", 4)};
    return record;
}

TEST(LunRecord, EveryFieldSurvivesTheRoundTrip) {
    const KLunRecord original = FullRecord();
    const std::string blob = original.Encode();
    const KLunRecord back = KLunRecord::Decode(blob);
    const VDS_LUN_INFORMATION& a = original.Info();
    const VDS_LUN_INFORMATION& b = back.Info();
    EXPECT_EQ(b.m_version, a.m_version);
    EXPECT_EQ(b.m_DeviceType, a.m_DeviceType);
    EXPECT_EQ(b.m_DeviceTypeModifier, a.m_DeviceTypeModifier);
    EXPECT_EQ(b.m_bCommandQueueing, a.m_bCommandQueueing);
    EXPECT_EQ(b.m_BusType, a.m_BusType);
    EXPECT_STREQ(b.m_szVendorId, "Korvel");
    EXPECT_STREQ(b.m_szProductId, "QSTA-Volume");
    EXPECT_STREQ(b.m_szProductRevision, "1.2");
    EXPECT_STREQ(b.m_szSerialNumber, "vol-7");
    EXPECT_EQ(0, std::memcmp(&b.m_diskSignature, &a.m_diskSignature, sizeof(GUID)));
    EXPECT_EQ(b.m_deviceIdDescriptor.m_version, 3u);
    ASSERT_EQ(b.m_deviceIdDescriptor.m_cIdentifiers, 2u);
    for (ULONG k = 0; k < 2; ++k) {
        const VDS_STORAGE_IDENTIFIER& x = a.m_deviceIdDescriptor.m_rgIdentifiers[k];
        const VDS_STORAGE_IDENTIFIER& y = b.m_deviceIdDescriptor.m_rgIdentifiers[k];
        EXPECT_EQ(y.m_CodeSet, x.m_CodeSet) << k;
        EXPECT_EQ(y.m_Type, x.m_Type) << k;
        EXPECT_EQ(y.m_cbIdentifier, x.m_cbIdentifier) << k;
        EXPECT_EQ(Bytes(y.m_rgbIdentifier, y.m_cbIdentifier), Bytes(x.m_rgbIdentifier, x.m_cbIdentifier)) << k;
    }
    ASSERT_EQ(b.m_cInterconnects, 2u);
    for (ULONG k = 0; k < 2; ++k) {
        const VDS_INTERCONNECT& x = a.m_rgInterconnects[k];
        const VDS_INTERCONNECT& y = b.m_rgInterconnects[k];
        EXPECT_EQ(y.m_addressType, x.m_addressType) << k;
        EXPECT_EQ(y.m_cbPort, x.m_cbPort) << k;
        EXPECT_EQ(Bytes(y.m_pbPort, y.m_cbPort), Bytes(x.m_pbPort, x.m_cbPort)) << k;
        EXPECT_EQ(y.m_cbAddress, x.m_cbAddress) << k;
        EXPECT_EQ(Bytes(y.m_pbAddress, y.m_cbAddress), Bytes(x.m_pbAddress, x.m_cbAddress)) << k;
    }
    EXPECT_EQ(back.Encode(), blob);

    // Absent texts and arrays stay absent; an empty text stays empty.
    KLunRecord sparse;
    sparse.Info().m_szProductId = Text("");
    const KLunRecord sparseBack = KLunRecord::Decode(sparse.Encode());
    EXPECT_EQ(sparseBack.Info().m_szVendorId, nullptr);
    EXPECT_STREQ(sparseBack.Info().m_szProductId, "");
    EXPECT_EQ(sparseBack.Info().m_deviceIdDescriptor.m_rgIdentifiers, nullptr);
    EXPECT_EQ(sparseBack.Info().m_rgInterconnects, nullptr);
}

TEST(LunRecord, DamagedBlobsAreRefused) {
    const std::string blob = FullRecord().Encode();
    for (size_t n = 0; n < blob.size(); ++n)
        EXPECT_THROW(KLunRecord::Decode(blob.substr(0, n)), std::runtime_error) << "cut at " << n;
    EXPECT_THROW(KLunRecord::Decode(blob + '\0'), std::runtime_error);
    std::string foreign = blob;
    foreign[0] = 'X';
    EXPECT_THROW(KLunRecord::Decode(foreign), std::runtime_error);
}

}  // namespace
