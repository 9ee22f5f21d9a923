// Creating shadow copies: the service's sequence against two appliances, and
// every refusal with its result, log line and event.
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "ProviderEnv.h"
#include "Logger.h"
#include "security.h"

namespace korvel_test {
namespace {


size_t SnapshotSetRequests(const qsta::Simulator& sim) {
    size_t n = 0;
    for (const auto& entry : sim.Journal())
        if (entry.method == "POST" && entry.path == "/api/snapshots/snapshots_set") ++n;
    return n;
}

// The access layer lists appliances in the store's order: names sorted without regard to case.
bool ComesFirst(const qsta::Simulator& a, const qsta::Simulator& b) { return a.Address() < b.Address(); }

TEST_F(ProviderTest, CreateTakesOneSnapshotSetPerApplianceAndDescribesEachSnapshotLun) {
    auto& a = AddAppliance(kSeedA);
    auto& b = AddAppliance(kSeedB);
    const std::string foreign = AddForeignDisk("sda");
    ComRef<IUnknown> provider = NewProvider();
    VssDriver driver(provider.Get());
    ASSERT_EQ(driver.Notifications()->OnLoad(nullptr), S_OK);

    // Announced b1, a2, a1: appliance a receives a2 before a1.
    std::vector<LunRecord> sources;
    sources.push_back(LunRecord::FromDisk(Device(b, "b1")));
    sources.push_back(LunRecord::FromDisk(Device(a, "a2")));
    sources.push_back(LunRecord::FromDisk(Device(a, "a1")));

    LunRecord foreignRecord = LunRecord::FromDisk(foreign);
    std::vector<VDS_LUN_INFORMATION> all = {foreignRecord.Info(), sources[0].Info()};
    BOOL supported = FALSE;
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(2, 0, nullptr, all.data(), &supported), S_OK);
    EXPECT_TRUE(supported);

    VssDriver::Created created = driver.Create(sources);
    ASSERT_EQ(created.result, S_OK) << created.failedStep;
    ASSERT_EQ(created.targets.size(), 3u);

    EXPECT_EQ(SnapshotSetRequests(a), 1u);
    EXPECT_EQ(SnapshotSetRequests(b), 1u);
    std::string bodyA;
    for (const auto& entry : a.Journal())
        if (entry.method == "POST") bodyA = entry.body;
    EXPECT_LT(bodyA.find("6b72760000000a02"), bodyA.find("6b72760000000a01")) << bodyA;

    struct Expect {
        qsta::Simulator* sim;
        const char* volume;
        const char* ieee;
        const char* product;
        const char* display;
    } expected[] = {{&b, "b1", "6b72760000000b01", "QSTA", "beta-data"},
                    {&a, "a2", "6b72760000000a02", "QSTA", "alpha-log"},
                    {&a, "a1", "6b72760000000a01", "QSTA-Volume", "alpha-data"}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].volume);
        const VDS_LUN_INFORMATION& t = created.targets[i].Info();
        const std::string snapshotId = t.m_szSerialNumber;
        auto snapshot = expected[i].sim->FindSnapshot(snapshotId);
        ASSERT_TRUE(snapshot.has_value()) << snapshotId;
        EXPECT_EQ(snapshot->cgName, expected[i].sim->FindVolume(expected[i].volume)->cgName);
        EXPECT_EQ(snapshotId.substr(0, 5), "snap_");
        EXPECT_EQ(snapshotId.substr(snapshotId.size() - 17), std::string("_") + expected[i].ieee);
        EXPECT_EQ(t.m_version, 1u);
        EXPECT_EQ(t.m_BusType, VDSBusTypeiScsi);
        EXPECT_EQ(t.m_bCommandQueueing, TRUE);
        EXPECT_STREQ(t.m_szVendorId, "Korvel");
        EXPECT_STREQ(t.m_szProductId, expected[i].product);
        EXPECT_STREQ(t.m_szProductRevision, " 1.2");
        EXPECT_TRUE(IsEqualGUID(t.m_diskSignature, GUID_NULL));
        EXPECT_EQ(t.m_deviceIdDescriptor.m_version, 1u);
        ASSERT_EQ(t.m_deviceIdDescriptor.m_cIdentifiers, 1u);
        const VDS_STORAGE_IDENTIFIER& tag = t.m_deviceIdDescriptor.m_rgIdentifiers[0];
        EXPECT_EQ(tag.m_CodeSet, VDSStorageIdCodeSetAscii);
        EXPECT_EQ(tag.m_Type, VDSStorageIdTypeVendorId);
        EXPECT_EQ(tag.m_cbIdentifier, 7 + snapshotId.size());
        EXPECT_EQ(IdentifierText(tag), "Korvel-" + snapshotId);
        EXPECT_EQ(t.m_cInterconnects, 0u);
        EXPECT_EQ(CountEvents("Information category 2 event 0x40004010: Successfully created snapshot(" + snapshotId +
                              ") for korvel volume - " + expected[i].display),
                  1u);
    }

    // Appliances in the access layer's order, each with its volumes in announcement order.
    std::vector<std::string> volumesInOrder;
    for (const auto& m : LogMessages())
        if (m.rfind("Snapshot(", 0) == 0) volumesInOrder.push_back(m.substr(m.rfind('(') + 1, 16));
    const std::vector<std::string> aThenB = {"6b72760000000a02", "6b72760000000a01", "6b72760000000b01"};
    const std::vector<std::string> bThenA = {"6b72760000000b01", "6b72760000000a02", "6b72760000000a01"};
    EXPECT_EQ(volumesInOrder, ComesFirst(a, b) ? aThenB : bThenA);
    EXPECT_EQ(CountLog(KLOG_INFO, "Exiting CKorvelVSSProvider::CommitSnapshots(0)"), 1u);
    EXPECT_EQ(CountLog(KLOG_INFO, "Exiting CKorvelVSSProvider::GetTargetLuns(0)"), 1u);

    // Asked again into the same records, the provider replaces their buffers
    // and releases the old ones, with the same content: 200 times over, the
    // heap does not grow (in a sanitizer build LeakSanitizer checks instead).
    const std::string before = created.targets[2].Encode();
    std::vector<VDS_LUN_INFORMATION> sourceInfo, targetInfo;
    for (auto& s : sources) sourceInfo.push_back(s.Info());
    for (auto& t : created.targets) targetInfo.push_back(t.Info());
    const size_t heap = mallinfo2().uordblks;
    for (int round = 0; round < 200; ++round)
        ASSERT_EQ(driver.Hardware()->GetTargetLuns(3, nullptr, sourceInfo.data(), targetInfo.data()), S_OK);
    EXPECT_LT(mallinfo2().uordblks, heap + 32 * 1024);
    for (size_t i = 0; i < 3; ++i) created.targets[i].Info() = targetInfo[i];
    EXPECT_EQ(created.targets[2].Encode(), before);
    EXPECT_EQ(driver.Notifications()->OnUnload(FALSE), S_OK);
}

TEST_F(ProviderTest, AreLunsSupportedRefusesPlexForeignAndIncompleteLuns) {
    auto& a = AddAppliance(kSeedA);
    const std::string foreign = AddForeignDisk("sda");
    ComRef<IUnknown> provider = NewProvider();
    VssDriver driver(provider.Get());
    driver.Notifications()->OnLoad(nullptr);
    LunRecord ours = LunRecord::FromDisk(Device(a, "a1"));
    LunRecord theirs = LunRecord::FromDisk(foreign);
    a.ClearJournal();

    BOOL supported = TRUE;
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(1, VSS_VOLSNAP_ATTR_PLEX, nullptr, &ours.Info(), &supported),
              VSS_E_PROVIDER_VETO);
    EXPECT_FALSE(supported);
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004011"), 1u);
    EXPECT_EQ(CountLog(KLOG_ERROR,
                       "Exiting CKorvelVSSProvider::AreLunsSupported(80042306). Provider does not support plex snapshots"),
              1u);

    // Foreign LUNs neither count for nor against support, plex flag or not.
    for (LONG context : {0, VSS_VOLSNAP_ATTR_PLEX}) {
        supported = TRUE;
        EXPECT_EQ(driver.Hardware()->AreLunsSupported(1, context, nullptr, &theirs.Info(), &supported), S_OK);
        EXPECT_FALSE(supported);
    }
    // Nowhere to put the answer, or no records for the count: refused before anything is asked.
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, &ours.Info(), nullptr), E_POINTER);
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, nullptr, &supported), E_POINTER);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Exiting CKorvelVSSProvider::AreLunsSupported(80004003). Invalid pointer argument."),
              2u);
    EXPECT_EQ(a.JournalSize(), 0u);
    EXPECT_EQ(Events().size(), 1u);

    const size_t refreshes = CountLogContaining("Entering KAccessLayer::Refresh()");
    VDS_STORAGE_IDENTIFIER* saved = ours.Info().m_deviceIdDescriptor.m_rgIdentifiers;
    ours.Info().m_deviceIdDescriptor.m_rgIdentifiers = nullptr;
    VDS_LUN_INFORMATION pair[2] = {theirs.Info(), ours.Info()};
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(2, 0, nullptr, pair, &supported), E_INVALIDARG);
    EXPECT_EQ(CountLog(KLOG_ERROR,
                       "Exiting CKorvelVSSProvider::AreLunsSupported(80070057). Identifier information is null."),
              1u);
    EXPECT_EQ(CountLogContaining("Entering KAccessLayer::Refresh()"), refreshes);
    VSS_ID set = NewGuid(), snap = NewGuid();
    EXPECT_EQ(driver.Hardware()->BeginPrepareSnapshot(set, snap, 0, 1, nullptr, &ours.Info()), E_INVALIDARG);
    EXPECT_EQ(CountLog(KLOG_ERROR,
                       "Exiting CKorvelVSSProvider::BeginPrepareSnapshot(80070057). LunInfo is null for LUN with Id "
                       "'a1'"),
              1u);
    ours.Info().m_deviceIdDescriptor.m_rgIdentifiers = saved;

    // A LUN without an EUI-64 identifier has no IEEE ID: the commit turns the
    // look-up's refusal into E_INVALIDARG, without a request.
    VDS_STORAGE_IDENTIFIER* eui = &ours.Info().m_deviceIdDescriptor.m_rgIdentifiers[1];
    ASSERT_EQ(eui->m_Type, VDSStorageIdTypeEUI64);
    eui->m_Type = VDSStorageIdTypeFCPHName;
    VSS_ID bare = NewGuid();
    ASSERT_EQ(driver.Hardware()->BeginPrepareSnapshot(bare, NewGuid(), 0, 1, nullptr, &ours.Info()), S_OK);
    EXPECT_EQ(driver.Creator()->CommitSnapshots(bare), E_INVALIDARG);
    EXPECT_EQ(CountLog(KLOG_ERROR, "KArray::GetVolumeByID - Invalid input parameter"), 1u);
    EXPECT_EQ(CountLog(KLOG_INFO, "Exiting CKorvelVSSProvider::CommitSnapshots(80070057)"), 1u);
    eui->m_Type = VDSStorageIdTypeEUI64;
    // Nothing was recorded by the refused preparation.
    EXPECT_EQ(driver.Creator()->CommitSnapshots(set), S_OK);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Snapshot set not found. Error Condition"), 1u);
    EXPECT_EQ(a.JournalSize(), 0u);
    driver.Notifications()->OnUnload(TRUE);

    // An appliance that cannot be asked: "not supported" with the cause in an
    // event, so another provider may still take the LUN.
    a.SetAccessKey("a-key-nobody-recorded");
    ComRef<IUnknown> fresh = NewProvider();
    VssDriver other(fresh.Get());
    supported = TRUE;
    EXPECT_EQ(other.Hardware()->AreLunsSupported(1, 0, nullptr, &ours.Info(), &supported), S_OK);
    EXPECT_FALSE(supported);
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004003: appliance " + a.Address() +
                          " refused the access key (HTTP 401)"),
              1u);
}

TEST_F(ProviderTest, AreLunsSupportedWithoutAnyApplianceWarns) {
    auto& a = AddAppliance(kSeedA, /*record=*/false);
    ComRef<IUnknown> provider = NewProvider();
    VssDriver driver(provider.Get());
    LunRecord ours = LunRecord::FromDisk(Device(a, "a1"));
    BOOL supported = TRUE;
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, &ours.Info(), &supported), VSS_E_PROVIDER_VETO);
    EXPECT_FALSE(supported);
    EXPECT_EQ(CountLog(KLOG_WARNING,
                       "Exiting CKorvelVSSProvider::AreLunsSupported(80042306). No korvel array objects found"),
              1u);
    EXPECT_EQ(CountEvents("Warning category 1 event 0x80004014"), 1u);
    EXPECT_EQ(a.JournalSize(), 0u);

    // An appliance recorded, but not the one that has the LUN.
    AddAppliance(kSeedB);
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, &ours.Info(), &supported), VSS_E_PROVIDER_VETO);
    EXPECT_FALSE(supported);
    EXPECT_EQ(CountLog(KLOG_WARNING, "Exiting CKorvelVSSProvider::AreLunsSupported(80042306). No korvel array object "
                                     "for the corresponding korvel volume is found"),
              1u);
    EXPECT_EQ(CountEvents("Warning category 1 event 0x80004014"), 2u);
}

TEST_F(ProviderTest, CommitGoesOnPastARefusingApplianceAndRefusesUncachedLuns) {
    auto& a = AddAppliance(kSeedA);
    auto& b = AddAppliance(kSeedB);
    qsta::Simulator& first = ComesFirst(a, b) ? a : b;
    qsta::Simulator& second = ComesFirst(a, b) ? b : a;
    // An answer without its response element is a refusal the commit goes on past.
    first.AddFault(qsta::Fault::WithoutElement("POST", "/api/snapshots/snapshots_set"));
    {
        ComRef<IUnknown> provider = NewProvider();
        VssDriver driver(provider.Get());
        driver.Notifications()->OnLoad(nullptr);
        std::vector<LunRecord> sources;
        sources.push_back(LunRecord::FromDisk(Device(a, "a1")));
        sources.push_back(LunRecord::FromDisk(Device(b, "b1")));
        VssDriver::Created created = driver.Create(sources);
        EXPECT_EQ(created.result, VSS_E_PROVIDER_VETO);
        EXPECT_EQ(created.failedStep, "CommitSnapshots");
        EXPECT_TRUE(first.Snapshots().empty());
        EXPECT_EQ(CountLog(KLOG_ERROR, "Snapshot creation failed. Error: Internal error while creating snapshot"),
                  1u);
        EXPECT_EQ(CountEvents("Error category 1 event 0xC0004003: Internal error while creating snapshot"), 1u);
        EXPECT_EQ(CountEvents("0x40004010"), 1u);
        EXPECT_EQ(CountLog(KLOG_INFO, "Exiting CKorvelVSSProvider::CommitSnapshots(80042306)"), 1u);
        // The second appliance made its snapshot; the abort of the set deletes it again.
        EXPECT_EQ(SnapshotSetRequests(second), 1u);
        EXPECT_TRUE(second.Snapshots().empty());
        EXPECT_EQ(CountLogContaining("of an aborted snapshot set deleted"), 1u);

        // A refused command ends the commit with the appliance's message. The
        // second appliance was asked at the same time: nothing is said of its
        // snapshot, and the abort deletes it.
        first.AddFault(qsta::Fault::Refuse("POST", "/api/snapshots/snapshots_set", "3", std::string("Pool is full")));
        second.ClearJournal();
        created = driver.Create(sources);
        EXPECT_EQ(created.result, VSS_E_PROVIDER_VETO);
        EXPECT_EQ(CountLog(KLOG_ERROR, "Snapshot creation failed. Error: Pool is full"), 1u);
        EXPECT_EQ(CountEvents("Error category 1 event 0xC0004003: Pool is full"), 1u);
        EXPECT_EQ(SnapshotSetRequests(second), 1u);
        EXPECT_TRUE(second.Snapshots().empty());
        EXPECT_EQ(CountEvents("0x40004010"), 1u);
        EXPECT_EQ(CountLogContaining("of an aborted snapshot set deleted"), 2u);
        EXPECT_EQ(CountLog(KLOG_INFO, "Exiting CKorvelVSSProvider::CommitSnapshots(80042306)"), 2u);

        // A snapshot the abort cannot delete is named in an event and stays
        // recorded: the next abort of the set deletes it.
        first.AddFault(qsta::Fault::Refuse("POST", "/api/snapshots/snapshots_set", "3", std::string("Pool is full")));
        second.AddFault(qsta::Fault::Refuse("DELETE", "/api/snapshots/*", "1", std::string("Busy")));
        created = driver.Create(sources);
        EXPECT_EQ(created.result, VSS_E_PROVIDER_VETO);
        ASSERT_EQ(second.Snapshots().size(), 1u);
        EXPECT_EQ(CountEvents("Error category 1 event 0xC0004007: Snapshot " + second.Snapshots()[0].id +
                              " of an aborted snapshot set could not be deleted: "),
                  1u);
        EXPECT_EQ(driver.Creator()->AbortSnapshots(created.snapshotSetId), S_OK);
        EXPECT_TRUE(second.Snapshots().empty());
        driver.Notifications()->OnUnload(FALSE);
    }

    // A new provider object has looked nothing up: the commit refuses without a request.
    ComRef<IUnknown> provider = NewProvider();
    VssDriver driver(provider.Get());
    driver.Notifications()->OnLoad(nullptr);
    a.ClearJournal();
    b.ClearJournal();
    LunRecord lun = LunRecord::FromDisk(Device(a, "a2"));
    VSS_ID set = NewGuid();
    ASSERT_EQ(driver.Hardware()->BeginPrepareSnapshot(set, NewGuid(), 0, 1, nullptr, &lun.Info()), S_OK);
    EXPECT_EQ(driver.Creator()->CommitSnapshots(set), VSS_E_PROVIDER_VETO);
    EXPECT_EQ(a.JournalSize() + b.JournalSize(), 0u);
    EXPECT_EQ(CountEvents("0xC0004003: Internal Error. No Korvel array object, owning the volume Id "
                          "'6b72760000000a02' found." +
                          std::string(32, ' ') + "Restart the KorvelProvider service and try again"),
              1u);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Exiting CKorvelVSSProvider::CommitSnapshots(80042306). Internal Error."), 1u);
    // GetTargetLuns of such a LUN refuses too, and leaves nothing to leak.
    LunRecord target;
    EXPECT_EQ(driver.Hardware()->GetTargetLuns(1, nullptr, &lun.Info(), &target.Info()), VSS_E_PROVIDER_VETO);
    EXPECT_EQ(CountEvents("Internal Error. No Korvel Array object, owning the volume Id '6b72760000000a02' found."),
              1u);
    driver.Notifications()->OnUnload(FALSE);
}

TEST_F(ProviderTest, CommitAsksTheAppliancesAtOnceAndLogsThemInTheirOrder) {
    auto& a = AddAppliance(kSeedA);
    auto& b = AddAppliance(kSeedB);
    qsta::Simulator& first = ComesFirst(a, b) ? a : b;
    qsta::Simulator& second = ComesFirst(a, b) ? b : a;
    // One after the other this takes 550 ms at least. The first appliance
    // answers last, so lines written as the answers arrive would be out of order.
    first.AddFault(qsta::Fault::Slow("POST", "/api/snapshots/snapshots_set", std::chrono::milliseconds(300)));
    second.AddFault(qsta::Fault::Slow("POST", "/api/snapshots/snapshots_set", std::chrono::milliseconds(250)));
    ComRef<IUnknown> provider = NewProvider();
    VssDriver driver(provider.Get());
    driver.Notifications()->OnLoad(nullptr);
    std::vector<LunRecord> sources;
    sources.push_back(LunRecord::FromDisk(Device(b, "b1")));
    sources.push_back(LunRecord::FromDisk(Device(a, "a2")));
    sources.push_back(LunRecord::FromDisk(Device(a, "a1")));
    const VSS_ID set = NewGuid();
    for (LunRecord& source : sources) {
        BOOL supported = FALSE;
        ASSERT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, &source.Info(), &supported), S_OK);
        // Announced twice, a snapshot is still taken once.
        const VSS_ID snapshot = NewGuid();
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(driver.Hardware()->BeginPrepareSnapshot(set, snapshot, 0, 1, nullptr, &source.Info()), S_OK);
    }

    a.ClearJournal();
    b.ClearJournal();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(driver.Creator()->CommitSnapshots(set), S_OK);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 550);
    // The volumes came from the cache: each appliance was asked for its snapshot set only.
    EXPECT_EQ(a.JournalSize(), 1u);
    EXPECT_EQ(b.JournalSize(), 1u);

    // The provider's lines as the serial commit wrote them: appliance by
    // appliance in the access layer's order, each in announcement order.
    auto created = [](const qsta::Simulator& sim, const std::string& ieee) {
        for (const auto& snapshot : sim.Snapshots()) {
            const std::string& id = snapshot.id;
            if (id.size() > ieee.size() && id.compare(id.size() - ieee.size(), ieee.size(), ieee) == 0)
                return "Snapshot(" + id + ") created for volume(" + ieee + ")";
        }
        return "no snapshot of " + ieee;
    };
    const std::vector<std::string> aLines = {created(a, "6b72760000000a02"), created(a, "6b72760000000a01")};
    const std::vector<std::string> bLines = {created(b, "6b72760000000b01")};
    std::vector<std::string> expected = {"Entering CKorvelVSSProvider::CommitSnapshots()"};
    for (const auto* lines : {&first == &a ? &aLines : &bLines, &first == &a ? &bLines : &aLines})
        expected.insert(expected.end(), lines->begin(), lines->end());
    expected.push_back("Exiting CKorvelVSSProvider::CommitSnapshots(0)");
    std::vector<std::string> commitLines;
    bool inCommit = false;
    for (const LogLine& line : LogLines()) {
        inCommit = inCommit || line.message == expected.front();
        if (inCommit && line.component == kProviderComponent) commitLines.push_back(line.message);
    }
    EXPECT_EQ(commitLines, expected);
    EXPECT_EQ(a.Snapshots().size(), 2u);
    EXPECT_EQ(b.Snapshots().size(), 1u);
    EXPECT_EQ(CountEvents("0x40004010"), 3u);
    // Asked again, the provider answers from its cache.
    for (LunRecord& source : sources) {
        BOOL supported = FALSE;
        ASSERT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, &source.Info(), &supported), S_OK);
        EXPECT_TRUE(supported);
    }
    EXPECT_EQ(a.JournalSize() + b.JournalSize(), 2u);
    driver.Notifications()->OnUnload(FALSE);
}

TEST_F(ProviderTest, AnAnswerNamingTooFewSnapshotsVetoesTheCommit) {
    auto& a = AddAppliance(kSeedA);
    // Two volumes asked for, one snapshot named: pairing would describe a2 by
    // whatever snapshot it had before.
    a.AddSnapshot(a.FindVolume("a1")->cgName, "named", "snap_named");
    a.AddFault(qsta::Fault::Custom("POST", "/api/snapshots/snapshots_set", 200,
                                   "<?xml version=\"1.0\"?>\n<create-snapshot-set-response><status>0</status>"
                                   "<status-msg>Success</status-msg><snapshots><snapshot>snap_named</snapshot>"
                                   "</snapshots></create-snapshot-set-response>\n"));
    ComRef<IUnknown> provider = NewProvider();
    VssDriver driver(provider.Get());
    driver.Notifications()->OnLoad(nullptr);
    std::vector<LunRecord> sources;
    sources.push_back(LunRecord::FromDisk(Device(a, "a1")));
    sources.push_back(LunRecord::FromDisk(Device(a, "a2")));
    VssDriver::Created created = driver.Create(sources);
    EXPECT_EQ(created.result, VSS_E_PROVIDER_VETO);
    EXPECT_EQ(created.failedStep, "CommitSnapshots");
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004003: The array answered with 1 snapshot IDs for 2 volumes"),
              1u);
    EXPECT_EQ(CountEvents("0x40004010"), 0u);
    // What the answer named is deleted; nothing else was made.
    EXPECT_TRUE(a.Snapshots().empty());
    driver.Notifications()->OnUnload(FALSE);
}

TEST_F(ProviderTest, GuardedOperationsRefuseCallersOutsideAdministrators) {
    auto& a = AddAppliance(kSeedA);
    ComRef<IUnknown> provider = NewProvider();
    VssDriver driver(provider.Get());
    driver.Notifications()->OnLoad(nullptr);
    LunRecord lun = LunRecord::FromDisk(Device(a, "a1"));
    BOOL supported = TRUE;
    {
        KorvelCallerCredentials nobody;
        nobody.uid = 65534;
        nobody.gid = 65534;
        KorvelCallerScope scope(nobody);
        EXPECT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, &lun.Info(), &supported), VSS_E_PROVIDER_VETO);
        EXPECT_FALSE(supported);
    }
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004000"), 1u);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Exiting CKorvelVSSProvider::AreLunsSupported(80042306). Authorization failure"),
              1u);
    EXPECT_EQ(a.JournalSize(), 0u);

    KorvelCallerCredentials root;  // uid 0
    KorvelCallerScope scope(root);
    EXPECT_EQ(driver.Hardware()->AreLunsSupported(1, 0, nullptr, &lun.Info(), &supported), S_OK);
    EXPECT_TRUE(supported);
    EXPECT_EQ(CountEvents("0xC0004000"), 1u);
    driver.Notifications()->OnUnload(FALSE);
}

}  // namespace
}  // namespace korvel_test
