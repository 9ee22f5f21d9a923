// Exposing, releasing, masking and rolling back shadow copies, and the
// refusals of those operations.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "Logger.h"
#include "ProviderEnv.h"
#include "registry.h"
#include "security.h"

namespace korvel_test {
namespace {


// The clone volumes an appliance holds, made from `snapshotId`.
std::vector<qsta::Volume> ClonesOf(const qsta::Simulator& sim, const std::string& snapshotId) {
    std::vector<qsta::Volume> clones;
    for (const auto& v : sim.Volumes())
        if (v.sourceSnapshot == snapshotId) clones.push_back(v);
    return clones;
}

size_t Requests(const qsta::Simulator& sim, const std::string& method, const std::string& pathPrefix) {
    size_t n = 0;
    for (const auto& e : sim.Journal())
        if (e.method == method && e.path.rfind(pathPrefix, 0) == 0) ++n;
    return n;
}

// A target record of a snapshot no appliance has.
LunRecord Unknown(const std::string& snapshotId) {
    LunRecord unknown;
    Korvel::SetProviderTag(unknown.Info(), snapshotId);
    unknown.Info().m_szSerialNumber = static_cast<char*>(CoTaskMemAlloc(snapshotId.size() + 1));
    std::memcpy(unknown.Info().m_szSerialNumber, snapshotId.c_str(), snapshotId.size() + 1);
    return unknown;
}

class ExposeTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        a = &AddAppliance(kSeedA);
        b = &AddAppliance(kSeedB);
        provider = std::make_unique<ComRef<IUnknown>>(NewProvider());
        driver = std::make_unique<VssDriver>(provider->Get());
        driver->Notifications()->OnLoad(nullptr);
    }
    void TearDown() override {
        driver->Notifications()->OnUnload(FALSE);
        driver.reset();
        provider.reset();
        ProviderTest::TearDown();
    }
    // Snapshots of the named disks, in one set; their target records.
    std::vector<LunRecord> Snapshots(const std::vector<std::pair<qsta::Simulator*, std::string>>& disks) {
        std::vector<LunRecord> sources;
        for (const auto& d : disks) sources.push_back(LunRecord::FromDisk(Device(*d.first, d.second)));
        VssDriver::Created created = driver->Create(sources);
        EXPECT_EQ(created.result, S_OK) << created.failedStep;
        return std::move(created.targets);
    }

    qsta::Simulator* a = nullptr;
    qsta::Simulator* b = nullptr;
    std::unique_ptr<ComRef<IUnknown>> provider;
    std::unique_ptr<VssDriver> driver;
};

TEST_F(ExposeTest, ShadowCopiesAreExposedReleasedMaskedAndRolledBack) {
    std::vector<LunRecord> targets = Snapshots({{a, "a1"}, {b, "b1"}, {a, "a2"}});
    ASSERT_EQ(targets.size(), 3u);
    const std::string snapA1 = targets[0].Info().m_szSerialNumber;
    const std::string snapB1 = targets[1].Info().m_szSerialNumber;
    const std::string snapA2 = targets[2].Info().m_szSerialNumber;

    // Expose two shadow copies, on two appliances.
    std::vector<LunRecord> toExpose;
    toExpose.push_back(std::move(targets[0]));
    toExpose.push_back(std::move(targets[1]));
    std::vector<VssDriver::Exposed> exposed;
    ASSERT_EQ(driver->Expose(toExpose, exposed), S_OK);
    ASSERT_EQ(exposed.size(), 2u);
    ASSERT_EQ(ClonesOf(*a, snapA1).size(), 1u);
    ASSERT_EQ(ClonesOf(*b, snapB1).size(), 1u);
    const qsta::Volume cloneA1 = ClonesOf(*a, snapA1)[0];
    const qsta::Volume cloneB1 = ClonesOf(*b, snapB1)[0];
    EXPECT_TRUE(a->IsMapped(cloneA1.name, "this-host"));
    EXPECT_TRUE(b->IsMapped(cloneB1.name, "this-host"));
    EXPECT_EQ(CountLog(KLOG_INFO, "Host IQN: " + std::string(kHostIqn)), 2u);

    // Disks are met in name order; put a1's first.
    if (std::string(exposed[0].record.Info().m_szSerialNumber) != snapA1) std::swap(exposed[0], exposed[1]);
    const char* products[] = {"QSTA-Volume", "QSTA"};
    const std::string snaps[] = {snapA1, snapB1};
    for (size_t i = 0; i < 2; ++i) {
        const VDS_LUN_INFORMATION& r = exposed[i].record.Info();
        SCOPED_TRACE(exposed[i].device);
        EXPECT_STREQ(r.m_szSerialNumber, snaps[i].c_str());
        EXPECT_STREQ(r.m_szProductId, products[i]);
        EXPECT_STREQ(r.m_szProductRevision, "1.2");
        EXPECT_STREQ(r.m_szVendorId, "Korvel");
        EXPECT_TRUE(IsEqualGUID(r.m_diskSignature, GUID_NULL));
        EXPECT_EQ(r.m_deviceIdDescriptor.m_version, 16u);
        ASSERT_EQ(r.m_deviceIdDescriptor.m_cIdentifiers, 1u);
        EXPECT_EQ(IdentifierText(r.m_deviceIdDescriptor.m_rgIdentifiers[0]), "Korvel-" + snaps[i]);
        EXPECT_EQ(r.m_deviceIdDescriptor.m_rgIdentifiers[0].m_cbIdentifier, 7 + snaps[i].size());
        EXPECT_EQ(r.m_cInterconnects, 0u);
    }

    // Releasing one leaves the other's clone mapped and intact, though both
    // snapshot IDs begin alike ("snap_").
    ASSERT_EQ(driver->Release(exposed[0]), S_OK);
    EXPECT_FALSE(a->FindVolume(cloneA1.name).has_value());
    EXPECT_FALSE(a->FindSnapshot(snapA1).has_value());
    EXPECT_TRUE(b->IsMapped(cloneB1.name, "this-host"));
    EXPECT_TRUE(b->FindSnapshot(snapB1).has_value());
    EXPECT_EQ(CountLog(KLOG_INFO, "Snapshot successfully deleted from array"), 1u);

    // Masking the other deletes its clone but keeps its snapshot.
    std::vector<LunRecord> masked;
    masked.push_back(LunRecord::FromDisk(exposed[1].device));
    ASSERT_EQ(driver->Mask(masked), S_OK);
    EXPECT_FALSE(b->FindVolume(cloneB1.name).has_value());
    EXPECT_TRUE(b->FindSnapshot(snapB1).has_value());
    EXPECT_EQ(b->SanDisks().size(), 1u);

    // Masking a production disk leaves it alone.
    std::vector<LunRecord> production;
    production.push_back(LunRecord::FromDisk(Device(*a, "a2")));
    a->ClearJournal();
    EXPECT_EQ(driver->Mask(production), S_OK);
    EXPECT_TRUE(a->IsMapped("a2", "this-host"));
    EXPECT_EQ(Requests(*a, "POST", "/api/volumes/") + Requests(*a, "DELETE", "/api/volumes/"), 0u);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Volume alpha-log is not a snapshot clone; it is not deleted"), 1u);

    // Roll a2 back to its snapshot: one rollback request to a2's group on its appliance.
    LunRecord source = LunRecord::FromDisk(Device(*a, "a2"));
    a->ClearJournal();
    ASSERT_EQ(driver->Revert(targets[2], source), S_OK);
    auto group = a->FindGroup(a->FindVolume("a2")->cgName);
    EXPECT_EQ(group->rolledBackTo, snapA2);
    EXPECT_EQ(group->rollbackCount, 1u);
    EXPECT_EQ(b->FindGroup(b->FindVolume("b1")->cgName)->rollbackCount, 0u);
    EXPECT_EQ(CountLog(KLOG_INFO, "Successfully initiated a LUN resync operation between snapshot(" + snapA2 +
                                          ") and target(6b72760000000a02) volume"),
              1u);
}

TEST_F(ExposeTest, LocateLunsRefusals) {
    std::vector<LunRecord> targets = Snapshots({{a, "a1"}, {a, "a2"}, {b, "b1"}});
    std::vector<VssDriver::Exposed> exposed;

    // A snapshot no appliance has stops the operation: the LUN after it is not cloned.
    std::vector<LunRecord> one;
    one.push_back(Unknown("snap_1_nowhere"));
    one.push_back(targets[0].Copy());
    EXPECT_EQ(driver->Expose(one, exposed), VSS_E_PROVIDER_VETO);
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004013: snap_1_nowhere"), 1u);
    EXPECT_EQ(CountLog(KLOG_INFO, "Snapshot(snap_1_nowhere) does not exist in any korvel array"), 1u);
    EXPECT_TRUE(ClonesOf(*a, targets[0].Info().m_szSerialNumber).empty());
    EXPECT_TRUE(exposed.empty());

    // A clone refused for the first of two LUNs: the second is still exposed.
    // (An answer without its element: a refused command would end the whole operation.)
    a->AddFault(qsta::Fault::WithoutElement("POST", "/api/consistency_groups/*/clone"));
    std::vector<LunRecord> two;
    two.push_back(std::move(targets[0]));
    two.push_back(std::move(targets[2]));
    EXPECT_EQ(driver->Expose(two, exposed), VSS_E_PROVIDER_VETO);
    EXPECT_EQ(exposed.size(), 1u);
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004003: Volume clone creation: Internal error while creating "
                          "volume clone"),
              1u);
    EXPECT_EQ(ClonesOf(*b, b->Snapshots(b->FindVolume("b1")->cgName)[0].id).size(), 1u);

    // A Fibre Channel LUN cannot be mapped: its clone would be left for ever,
    // so it is deleted and the call fails.
    std::vector<LunRecord> fibre;
    fibre.push_back(std::move(targets[1]));
    fibre[0].Info().m_BusType = VDSBusTypeFibre;
    const std::string snapA2 = fibre[0].Info().m_szSerialNumber;
    const size_t mappings = a->Mappings().size();
    EXPECT_EQ(driver->Expose(fibre, exposed), VSS_E_PROVIDER_VETO);
    EXPECT_TRUE(ClonesOf(*a, snapA2).empty());
    EXPECT_EQ(a->Mappings().size(), mappings);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Invalid bus type"), 1u);
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004005: Invalid bus type 6: only iSCSI LUNs are mapped to the "
                          "host"),
              1u);

    // No host entry for this host's initiator and none can be made.
    SetInitiatorName("iqn.2026-12.local.example:stranger");
    a->AddFault(qsta::Fault::WithoutElement("POST", "/api/servers"));
    fibre[0].Info().m_BusType = VDSBusTypeiScsi;
    EXPECT_EQ(driver->Expose(fibre, exposed), VSS_E_PROVIDER_VETO);
    EXPECT_TRUE(ClonesOf(*a, snapA2).empty());
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004005: Unable to get the serverID to map the volume"), 1u);
    EXPECT_EQ(CountLog(KLOG_ERROR,
                       "Failed to map volume with the host. Error: Unable to get the serverID to map the volume"),
              1u);
}

TEST_F(ExposeTest, ASnapshotExposedTwiceIsReleasedOneCloneAtATime) {
    std::vector<LunRecord> targets = Snapshots({{a, "a1"}});
    const std::string snap = targets[0].Info().m_szSerialNumber;
    std::vector<LunRecord> first, second;
    first.push_back(targets[0].Copy());
    second.push_back(targets[0].Copy());
    std::vector<VssDriver::Exposed> exposed;
    ASSERT_EQ(driver->Expose(first, exposed), S_OK);
    ASSERT_EQ(driver->Expose(second, exposed), S_OK);
    ASSERT_EQ(exposed.size(), 2u);
    ASSERT_EQ(ClonesOf(*a, snap).size(), 2u);
    auto cloneOn = [this](const std::string& device) {
        for (const auto& disk : a->SanDisks())
            if ("/dev/" + disk.device == device) return disk.volumeName;
        return std::string();
    };
    const std::string clone1 = cloneOn(exposed[0].device), clone2 = cloneOn(exposed[1].device);

    // Releasing the first disk deletes its own clone, never the other one,
    // and keeps the snapshot the other still shows.
    ASSERT_EQ(driver->Release(exposed[0]), S_OK);
    EXPECT_FALSE(a->FindVolume(clone1).has_value());
    EXPECT_TRUE(a->IsMapped(clone2, "this-host"));
    EXPECT_TRUE(a->FindSnapshot(snap).has_value());
    EXPECT_EQ(CountLogContaining("Snapshot " + snap + " is kept: its clone"), 1u);

    // A second release of the same disk: already done.
    a->ClearJournal();
    EXPECT_EQ(driver->Release(exposed[0]), S_OK);
    EXPECT_EQ(a->JournalSize(), 0u);
    EXPECT_EQ(CountLog(KLOG_INFO, "The clone of snapshot " + snap + " on " + exposed[0].device + " was released already"),
              1u);

    ASSERT_EQ(driver->Release(exposed[1]), S_OK);
    EXPECT_FALSE(a->FindVolume(clone2).has_value());
    EXPECT_FALSE(a->FindSnapshot(snap).has_value());
}

TEST_F(ExposeTest, ClonesThatCannotBeMappedAreDeleted) {
    std::vector<LunRecord> targets = Snapshots({{a, "a1"}, {a, "a2"}});
    const std::string snap1 = targets[0].Info().m_szSerialNumber, snap2 = targets[1].Info().m_szSerialNumber;
    std::vector<VssDriver::Exposed> exposed;

    // A refused attach.
    a->AddFault(qsta::Fault::Refuse("POST", "/api/servers/*/volumes", "1", std::string("Too many mappings")));
    std::vector<LunRecord> one;
    one.push_back(targets[0].Copy());
    EXPECT_EQ(driver->Expose(one, exposed), VSS_E_PROVIDER_VETO);
    EXPECT_TRUE(ClonesOf(*a, snap1).empty());
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004005: Too many mappings"), 1u);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Failed to map volume with the host. Error: Too many mappings"), 1u);

    // An attach carried out whose answer was lost: the clone is unmapped, then deleted.
    qsta::Fault lost = qsta::Fault::Drop("POST", "/api/servers/*/volumes");
    lost.execute = true;
    a->AddFault(lost);
    std::vector<LunRecord> other;
    other.push_back(targets[1].Copy());
    EXPECT_EQ(driver->Expose(other, exposed), VSS_E_PROVIDER_VETO);
    EXPECT_TRUE(ClonesOf(*a, snap2).empty());
    EXPECT_EQ(a->Mappings().size(), 2u);  // a1 and a2 themselves
    EXPECT_TRUE(exposed.empty());
    EXPECT_EQ(CountEvents("event 0xC0004005"), 2u);
}

TEST_F(ExposeTest, FillInLunInfoLeavesWhatIsNotACloneAlone) {
    const std::string foreign = AddForeignDisk("sda");
    auto fill = [this](const std::string& device, LunRecord& record, BOOL& supported) {
        std::u16string wide = Wide(device);
        supported = TRUE;
        return driver->Hardware()->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(wide.data()), &record.Info(), &supported);
    };
    BOOL supported = TRUE;
    LunRecord theirs = LunRecord::FromDisk(foreign);
    EXPECT_EQ(fill(foreign, theirs, supported), S_OK);
    EXPECT_FALSE(supported);
    EXPECT_EQ(CountLog(KLOG_INFO, "Device " + foreign + " not a korvel volume"), 1u);

    LunRecord production = LunRecord::FromDisk(Device(*a, "a1"));
    EXPECT_EQ(fill(Device(*a, "a1"), production, supported), S_OK);
    EXPECT_FALSE(supported);
    EXPECT_STREQ(production.Info().m_szSerialNumber, "a1");
    EXPECT_STREQ(production.Info().m_szProductId, "QSTA-Volume-X");
    EXPECT_EQ(production.Info().m_deviceIdDescriptor.m_cIdentifiers, 2u);

    // Production volumes whose names merely mention ".clone" are neither
    // claimed nor deleted by a mask.
    for (const char* name : {"nightly.clone", "db_backup.clone.old", "_7.clone"}) {
        qsta::VolumeSpec spec;
        spec.displayName = name;
        const qsta::Volume volume = a->AddVolume(spec);
        a->MapVolume(volume.name, "this-host");
        const std::string device = Device(*a, volume.name);
        LunRecord record = LunRecord::FromDisk(device);
        const std::string before = record.Encode();
        EXPECT_EQ(fill(device, record, supported), S_OK) << name;
        EXPECT_FALSE(supported) << name;
        EXPECT_EQ(record.Encode(), before) << name;
        std::vector<LunRecord> mask;
        mask.push_back(LunRecord::FromDisk(device));
        EXPECT_EQ(driver->Mask(mask), S_OK);
        EXPECT_TRUE(a->IsMapped(volume.name, "this-host")) << name;
        EXPECT_EQ(CountLog(KLOG_ERROR, std::string("Volume ") + name + " is not a snapshot clone; it is not deleted"),
                  1u);
    }

    EXPECT_EQ(fill("/dev/sdzz", production, supported), S_OK);
    EXPECT_FALSE(supported);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Cannot open device '/dev/sdzz'. [CreateFile() error: 2]"), 1u);
    EXPECT_EQ(CountLog(KLOG_INFO, "Ignoring FillInLunInfo request for device /dev/sdzz"), 1u);

    // A disk of an appliance nobody recorded: no array owns its volume.
    auto& unrecorded = AddAppliance("volume name=c1 ieee-id=6b72760000000c01\nmap volume=c1 host=this-host\n", false);
    LunRecord stray = LunRecord::FromDisk(Device(unrecorded, "c1"));
    EXPECT_EQ(fill(Device(unrecorded, "c1"), stray, supported), VSS_E_PROVIDER_VETO);
    EXPECT_FALSE(supported);
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004003: Internal Error. No Korvel Array object, owning the volume "
                          "Id '6b72760000000c01' found." +
                          std::string(16, ' ') + "Restart the KorvelProvider service and try again"),
              1u);

    // A new provider object with no appliance configured.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Korvel\\HwProvider\\" + a->Address()).c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Korvel\\HwProvider\\" + b->Address()).c_str());
    ComRef<IUnknown> lonely = NewProvider();
    VssDriver other(lonely.Get());
    std::u16string wide = Wide(Device(*a, "a1"));
    EXPECT_EQ(other.Hardware()->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(wide.data()), &production.Info(), &supported),
              VSS_E_PROVIDER_VETO);
    EXPECT_FALSE(supported);
    EXPECT_EQ(CountEvents("Warning category 1 event 0x80004014"), 1u);
}

TEST_F(ExposeTest, ReleaseRollbackAndAdministratorRefusals) {
    std::vector<LunRecord> targets = Snapshots({{a, "a1"}});
    a->ClearJournal();
    b->ClearJournal();

    // A LUN that FillInLunInfo never met has no clone to release.
    VssDriver::Exposed never;
    never.device = "/dev/sdq";
    never.record = std::move(targets[0]);
    EXPECT_EQ(driver->Release(never), VSS_E_PROVIDER_VETO);
    EXPECT_EQ(CountLog(KLOG_ERROR, "Failed to delete the snapshot"), 1u);
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004007"), 1u);
    EXPECT_EQ(a->JournalSize() + b->JournalSize(), 0u);

    // A snapshot no appliance has.
    LunRecord unknown = Unknown("snap_2_nowhere");
    LunRecord a1 = LunRecord::FromDisk(Device(*a, "a1"));
    EXPECT_EQ(driver->Revert(unknown, a1), VSS_E_PROVIDER_VETO);
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004006: snap_2_nowhere"), 1u);

    // A target on another appliance than the snapshot.
    LunRecord foreignTarget = LunRecord::FromDisk(Device(*b, "b1"));
    EXPECT_EQ(driver->Revert(never.record, foreignTarget), VSS_E_PROVIDER_VETO);
    const std::string snap = never.record.Info().m_szSerialNumber;
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004012: Error: Both Target volume(6b72760000000b01) and Source "
                          "snapshot(" +
                          snap + ") does not belong to the same korvel array"),
              1u);
    EXPECT_EQ(b->FindGroup(b->FindVolume("b1")->cgName)->rollbackCount, 0u);

    // A rollback the appliance refuses is a failure, not a success.
    LunRecord ownTarget = LunRecord::FromDisk(Device(*a, "a1"));
    a->AddFault(qsta::Fault::Refuse("POST", "/api/consistency_groups/*/rollback", "1", std::string("Busy")));
    EXPECT_EQ(driver->Revert(never.record, ownTarget), VSS_E_PROVIDER_VETO);
    EXPECT_EQ(CountLog(KLOG_INFO, "Exiting CKorvelVSSProvider::ResyncLuns(80042306)"), 3u);

    // The guarded operations refuse a caller outside the administrators.
    KorvelCallerCredentials nobody;
    nobody.uid = 65534;
    nobody.gid = 65534;
    KorvelCallerScope scope(nobody);
    std::vector<VssDriver::Exposed> exposed;
    std::vector<LunRecord> again;
    again.push_back(LunRecord::FromDisk(Device(*a, "a2")));
    a->ClearJournal();
    EXPECT_EQ(driver->Expose(again, exposed), VSS_E_PROVIDER_VETO);
    std::u16string wide = Wide(Device(*a, "a2"));
    BOOL supported = TRUE;
    EXPECT_EQ(driver->Hardware()->FillInLunInfo(reinterpret_cast<VSS_PWSZ>(wide.data()), &again[0].Info(), &supported),
              VSS_E_PROVIDER_VETO);
    EXPECT_FALSE(supported);
    EXPECT_EQ(driver->Revert(never.record, ownTarget), VSS_E_PROVIDER_VETO);
    for (const char* op : {"LocateLuns", "FillInLunInfo", "ResyncLuns"})
        EXPECT_EQ(CountLog(KLOG_ERROR,
                           std::string("Exiting CKorvelVSSProvider::") + op + "(80042306). Authorization failure"),
                  1u)
            << op;
    EXPECT_EQ(CountEvents("Error category 1 event 0xC0004000"), 3u);
    EXPECT_EQ(a->JournalSize(), 0u);
}

}  // namespace
}  // namespace korvel_test
