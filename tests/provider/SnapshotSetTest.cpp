// The provider's records of an announced snapshot set: shadow copies found by
// their ID, their LUNs in the order announced, and the set owning them.
// Portable: the Windows check builds and runs it too.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "KorvelSnapshotSet.h"

namespace {

TEST(SnapshotSetRecords, ShadowCopiesAreFoundByTheirIdWithTheirLunsInOrder) {
    const VSS_ID setId = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
    VSS_ID firstId = setId, secondId = setId, unknownId = setId;
    firstId.Data1 = 1;
    secondId.Data1 = 2;
    unknownId.Data4[7] = 9;

    KorvelSnapshotSet set(setId);
    EXPECT_TRUE(IsEqualGUID(set.m_snapshotSetId, setId));
    EXPECT_EQ(set.FindShadowCopy(firstId), nullptr);

    KorvelShadowCopy* first = set.AddShadowCopy(std::make_unique<KorvelShadowCopy>(firstId));
    set.AddShadowCopy(nullptr);  // an empty slot is passed over, never dereferenced
    KorvelShadowCopy* second = set.AddShadowCopy(std::make_unique<KorvelShadowCopy>(secondId));
    EXPECT_EQ(first->AddLun("vol-b"), 0);
    EXPECT_EQ(first->AddLun("vol-a"), 0);
    EXPECT_EQ(second->AddLun("vol-c"), 0);

    EXPECT_EQ(set.FindShadowCopy(firstId), first);
    EXPECT_EQ(set.FindShadowCopy(secondId), second);
    EXPECT_EQ(set.FindShadowCopy(unknownId), nullptr);  // differs in the last byte only

    std::vector<std::string> luns = {"left over"};
    EXPECT_EQ(first->GetLuns(luns), 0);
    EXPECT_EQ(luns, (std::vector<std::string>{"vol-b", "vol-a"}));
    EXPECT_EQ(second->GetLuns(luns), 0);
    EXPECT_EQ(luns, (std::vector<std::string>{"vol-c"}));
    // The set deletes its shadow copies: the sanitizer build reports any it leaves.
}

}  // namespace
