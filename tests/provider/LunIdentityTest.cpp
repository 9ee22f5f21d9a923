// LUN identity rules: the IEEE identifier from the page 0x83
// identifiers, its own tag, the appliance's vendor ID and the trim rules.
// Portable: the Windows check builds and runs it too.
#include <gtest/gtest.h>

#include <string>

#include "LunIdentity.h"

namespace {

// A LUN record whose buffers are released on every way out.
struct OwnedLun {
    VDS_LUN_INFORMATION info{};
    OwnedLun() = default;
    OwnedLun(const OwnedLun&) = delete;
    OwnedLun& operator=(const OwnedLun&) = delete;
    ~OwnedLun() { KorvelFreeLunInformation(info); }
};

std::string Text(const VDS_STORAGE_IDENTIFIER& id) {
    return std::string(reinterpret_cast<const char*>(id.m_rgbIdentifier), id.m_cbIdentifier);
}

TEST(LunIdentity, IeeeIdTagAndTrimRules) {
    BYTE eui1[] = {0x60, 0x0a, 0x0b, 0x8c, 0x4d, 0x2e, 0x1f, 0x00};
    BYTE eui2[] = {0xab, 0, 0, 0, 0, 0, 0, 0x01};
    BYTE vendorBytes[] = {'X', '-', 'y'};
    VDS_STORAGE_IDENTIFIER ids[3] = {{VDSStorageIdCodeSetBinary, VDSStorageIdTypeEUI64, 8, eui1},
                                     {VDSStorageIdCodeSetAscii, VDSStorageIdTypeVendorId, 3, vendorBytes},
                                     {VDSStorageIdCodeSetBinary, VDSStorageIdTypeEUI64, 8, eui2}};
    VDS_LUN_INFORMATION lun{};
    lun.m_deviceIdDescriptor.m_cIdentifiers = 3;
    lun.m_deviceIdDescriptor.m_rgIdentifiers = ids;
    EXPECT_EQ(Korvel::LunIeeeIdOf(lun), "600a0b8c4d2e1f00ab00000000000001");
    EXPECT_EQ(Korvel::GetProviderTagKey(lun), "y");

    // The tag replaces the whole list (released with CoTaskMemFree) and reads back, '-' in the key included.
    OwnedLun tagged;
    ASSERT_EQ(Korvel::SetProviderTag(tagged.info, "old"), S_OK);
    ASSERT_EQ(Korvel::SetProviderTag(tagged.info, "snap_1-2_ab"), S_OK);
    const VDS_STORAGE_IDENTIFIER& tag = tagged.info.m_deviceIdDescriptor.m_rgIdentifiers[0];
    EXPECT_EQ(tagged.info.m_deviceIdDescriptor.m_cIdentifiers, 1u);
    EXPECT_EQ(tag.m_CodeSet, VDSStorageIdCodeSetAscii);
    EXPECT_EQ(tag.m_Type, VDSStorageIdTypeVendorId);
    EXPECT_EQ(Text(tag), "Korvel-snap_1-2_ab");
    EXPECT_EQ(Korvel::GetProviderTagKey(tagged.info), "snap_1-2_ab");
    EXPECT_EQ(Korvel::LunIeeeIdOf(tagged.info), "");

    EXPECT_TRUE(Korvel::IsApplianceVendorId("Korvel"));
    for (const char* foreign : {"Korvel  ", "korvel", "Korvel1", " Korvel", ""})
        EXPECT_FALSE(Korvel::IsApplianceVendorId(foreign)) << foreign;
    std::string text = " \t\r\nabc \t";
    Korvel::RightTrim(text);
    EXPECT_EQ(text, " \t\r\nabc");
    Korvel::LeftTrim(text);
    EXPECT_EQ(text, "abc");
    text = " \f\v\n";
    Korvel::LeftTrim(text);
    EXPECT_EQ(text, "");
}

}  // namespace
