// The library as the provider and the registration tool see it: only the
// public header and the shared library, nothing of the library's internals.
#include <gtest/gtest.h>

#include <type_traits>

#include "KorvelAccessLibrary.h"
#include "ObjectModelEnv.h"

// The public header must not drag the transport's or the parser's headers
// into its callers.
#if defined(CURLINC_CURL_H) || defined(__CURL_CURL_H) || defined(LIBXML_VERSION) || defined(__XML_TREE_H__)
#error "KorvelAccessLibrary.h exposes libcurl or libxml2"
#endif
#ifdef KORVEL_ACCESS_BUILD
#error "this test must be built as a caller of the shared library"
#endif

using Korvel::KAccessLayer;
using Korvel::KArray;
using Korvel::KVolume;

// A memberwise copy would share the owned strings, connection and caches.
static_assert(!std::is_copy_constructible_v<KVolume> && !std::is_copy_assignable_v<KVolume>);
static_assert(!std::is_copy_constructible_v<KArray> && !std::is_copy_assignable_v<KArray>);
static_assert(!std::is_copy_constructible_v<KAccessLayer> && !std::is_copy_assignable_v<KAccessLayer>);

namespace korvel_test {
namespace {

using PublicInterfaceTest = ObjectModelTest;

TEST_F(PublicInterfaceTest, ProviderSequenceThroughTheSharedLibrary) {
    RecordAppliance(Address(), Key());
    KAccessLayer layer;
    ASSERT_EQ(0, layer.DiscoverArrays());
    ASSERT_EQ(0, layer.Refresh());
    std::list<KArray*> arrays;
    ASSERT_EQ(0, layer.GetArrays(arrays));
    ASSERT_EQ(1u, arrays.size());
    KArray* array = arrays.front();

    std::string id = Sim().FindVolume("vol-1")->ieeeId;
    KVolume* volume = nullptr;
    ASSERT_EQ(2, array->GetVolumeByID(id, volume));
    ASSERT_EQ(0, array->GetVolumeByIDFromArray(id, volume));

    std::string* volID = nullptr;
    std::string* cgID = nullptr;
    volume->GetVolumeID(volID);
    volume->GetCgIDPtr(cgID);
    std::list<std::string*> volIDs{volID}, cgIDs{cgID};
    std::list<std::string> snapIDs;
    ASSERT_EQ(0, KVolume::CreateSnapshotSet(array, volIDs, cgIDs, &snapIDs));
    ASSERT_EQ(1u, snapIDs.size());
    std::string snap = snapIDs.front();
    ASSERT_EQ(0, volume->AddCreatedSnapshot(snap));

    std::string cg;
    volume->GetCgID(cg);
    KVolume* clone = nullptr;
    ASSERT_EQ(0, array->CloneVolume(cg, snap, clone));
    std::string iqn = "iqn.2026-01.local.example:backup01", serverID;
    ASSERT_EQ(0, array->GetServerIDByIQNFromArray(iqn, serverID));
    std::string cloneName;
    clone->GetVolumeName(cloneName);
    ASSERT_EQ(0, array->AttachVolume(cloneName, serverID));
    EXPECT_TRUE(Sim().IsMapped(cloneName, serverID));
    ASSERT_EQ(0, array->DetachVolume(cloneName, serverID));
    ASSERT_EQ(0, array->DeleteVolume(cloneName));
    ASSERT_EQ(0, volume->DeleteSnapshot(snap));
    EXPECT_FALSE(Sim().FindVolume(cloneName).has_value());
    EXPECT_FALSE(Sim().FindSnapshot(snap).has_value());
    EXPECT_EQ(0u, CountLogContaining(Key()));
}

TEST_F(PublicInterfaceTest, RegistrationToolValidatesThroughTheSharedLibrary) {
    KAccessLayer layer;
    std::string address = Address(), key = Key();
    EXPECT_EQ(0, layer.ValidateArray(address, key));
    EXPECT_EQ(1u, CountRequests("GET", "/api/drives"));
}

}  // namespace
}  // namespace korvel_test
