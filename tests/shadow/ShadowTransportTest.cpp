// Off-host backup between hosts of one storage network: the production host
// exports a shadow copy, the backup host imports, exposes, reads and
// releases it. Each host is its own set of variables (initiator file, sysfs
// tree, catalogue, configuration store, log folder); one appliance
// simulator plays the storage network for all of them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "KHostDisks.h"
#include "ShadowEnv.h"

namespace korvel_test {
namespace {

namespace fs = std::filesystem;
using Korvel::KShadowCopyEntry;

// A host other than the test's own (which plays the production host).
struct OtherHost {
    OtherHost(const std::string& name) : iqn("iqn.2026-12.local.example:" + name) {
        fs::create_directories(dir.Path() + "/sys");
        std::ofstream(dir.Path() + "/initiatorname.iscsi") << "InitiatorName=" << iqn << "\n";
        env = {{"KORVEL_INITIATOR_FILE", dir.Path() + "/initiatorname.iscsi"},
               {"KORVEL_SYSFS_ROOT", dir.Path() + "/sys"},
               {"KORVEL_CATALOGUE", dir.Path() + "/shadows.db"},
               {"KORVEL_REGISTRY_ROOT", dir.Path() + "/registry"},
               {"KORVEL_LOG_DIR", dir.Path() + "/log"},
               {"KORVEL_PROVIDER_SOCKET", dir.Path() + "/KorvelProvider.sock"}};
    }
    std::vector<KShadowCopyEntry> Catalogue() const { return Korvel::KShadowCatalogue(dir.Path() + "/shadows.db").List(); }
    std::string Sysfs() const { return dir.Path() + "/sys"; }

    TempDir dir;
    std::string iqn;
    Environment env;
};

std::string Rows(const std::vector<KShadowCopyEntry>& rows) {
    std::string text;
    for (const KShadowCopyEntry& e : rows)
        for (const std::string* field :
             {&e.shadowId, &e.setId, &e.createdAt, &e.sourceDevice, &e.sourceLun, &e.targetLun, &e.snapshotName,
              &e.exposedDevice, &e.exposedLun, &e.exposedEui64, &e.exposedSerial, &e.mountPoint, &e.consistency,
              &e.state, &e.intent, &e.origin, &e.document})
            text += *field + "|";
    return text;
}

std::string LocalHostName() {
    char name[256] = "";
    ::gethostname(name, sizeof name - 1);
    return name;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ShadowTransportTest : public ShadowTest {
protected:
    void SetUp() override {
        ShadowTest::SetUp();
        if (WithData()) {
            if (const std::string why = WhyNoData(); !why.empty()) GTEST_SKIP() << why;
            m_dataRoot = m_data.Path();
        }
        RegisterProvider();
        m_otherHosts = {{backup.iqn, backup.Sysfs()}, {third.iqn, third.Sysfs()}};
        a = &AddAppliance(kSeedA);
        {
            ScopedEnvironment as(backup.env);
            RegisterProvider();
            RecordInStore(*a);
        }
        // The third host records the appliance only once its import was refused for lacking it.
        ScopedEnvironment as(third.env);
        RegisterProvider();
    }
    void TearDown() override {
        for (auto it = m_mounted.rbegin(); it != m_mounted.rend(); ++it)
            if (IsMountPoint(*it)) ::umount2(it->c_str(), MNT_DETACH);
        ShadowTest::TearDown();
        for (int i = 0; WithData() && i < 100 && LoopsUnder(m_data.Path()) != 0; ++i) ::usleep(20000);
        EXPECT_EQ(LoopsUnder(m_data.Path()), 0u) << "loop devices left attached";
    }
    virtual bool WithData() const { return false; }

    // A shadow copy of a1 made on the production host and exported into `document`.
    std::string CreateAndExport(const std::string& document) {
        CommandResult created = Shadow({"create", Device(*a, "a1")});
        EXPECT_EQ(created.exitCode, 0) << created.out << created.err;
        const std::string id = Catalogue().empty() ? std::string() : Catalogue().back().shadowId;
        CommandResult exported = Shadow({"export", id, "-o", document});
        EXPECT_EQ(exported.exitCode, 0) << exported.out << exported.err;
        return id;
    }

    // What the appliance holds: volumes, snapshots, host entries and mappings.
    std::string Appliance() const {
        std::string text;
        for (const auto& v : a->Volumes()) text += "volume " + v.name + " " + v.displayName + " " + v.sourceSnapshot + "\n";
        for (const auto& s : a->Snapshots()) text += "snapshot " + s.id + "\n";
        for (const auto& h : a->Hosts()) text += "host " + h.name + " " + h.iqn + "\n";
        for (const auto& m : a->Mappings()) text += "map " + m.volumeName + " " + m.hostName + "\n";
        return text;
    }
    // Both (all three) catalogues and the appliance.
    std::string Everything() const {
        return "production " + Rows(Catalogue()) + "\nbackup " + Rows(backup.Catalogue()) + "\nthird " +
               Rows(third.Catalogue()) + "\n" + Appliance();
    }
    size_t Commands() const {
        size_t n = 0;
        for (const auto& request : a->Journal()) n += request.method != "GET";
        return n;
    }
    std::string Folder(const std::string& name) {
        const std::string dir = m_data.Path() + "/" + name;
        fs::create_directories(dir);
        m_mounted.push_back(dir);
        return dir;
    }

    OtherHost backup{"backup"}, third{"third"};
    qsta::Simulator* a = nullptr;
    TempDir m_data, m_work;
    std::vector<std::string> m_mounted;
};

class ShadowTransportDataTest : public ShadowTransportTest {
protected:
    bool WithData() const override { return true; }
};

TEST_F(ShadowTransportDataTest, TheBackupHostReadsTheProductionHostsDataAndReleasesTheCopy) {
    // The production host's filesystem, with a file written before the shadow copy.
    const std::string disk = Device(*a, "a1");
    ASSERT_TRUE(Korvel::KHostDisk(disk).DevNo()) << "the simulator's disks have no block device here";
    const std::string node = Korvel::KHostDisk(disk).Node();
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F " + node + " >/dev/null 2>&1").c_str()), 0);
    const std::string source = Folder("source");
    ASSERT_EQ(::mount(node.c_str(), source.c_str(), "ext4", 0, nullptr), 0) << std::strerror(errno);
    std::string data(2 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : data) c = static_cast<char>(random());
    {
        std::ofstream(source + "/payroll.db", std::ios::binary) << data;
    }
    ASSERT_EQ(std::system(("sync -f " + source + "/payroll.db").c_str()), 0);

    const std::string document = m_work.Path() + "/set.xml";
    const std::string id = CreateAndExport(document);
    EXPECT_EQ(fs::status(document).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(Catalogue().size(), 1u);
    EXPECT_EQ(Catalogue()[0].state, "exported");
    EXPECT_EQ(Catalogue()[0].consistency, "filesystem");  // the mounted source was frozen
    EXPECT_NE(Shadow({"list"}).out.find(" exported "), std::string::npos);
    // The document holds no access key.
    EXPECT_EQ(Contents(document).find(a->AccessKey()), std::string::npos);

    CommandResult imported = Shadow({"import", document}, backup.env);
    ASSERT_EQ(imported.exitCode, 0) << imported.out << imported.err;
    ASSERT_EQ(backup.Catalogue().size(), 1u);
    EXPECT_EQ(backup.Catalogue()[0].origin, "imported from " + LocalHostName());
    EXPECT_EQ(backup.Catalogue()[0].state, "created");
    EXPECT_EQ(backup.Catalogue()[0].consistency, "filesystem");

    // The backup host mounts its clone and finds the file as it was written.
    const std::string copy = Folder("copy");
    CommandResult exposed = Shadow({"expose", id, "--mount", copy}, backup.env);
    ASSERT_EQ(exposed.exitCode, 0) << exposed.out << exposed.err;
    EXPECT_TRUE(Contents(copy + "/payroll.db") == data);
    const auto host = a->FindHostByIqn(backup.iqn);
    ASSERT_TRUE(host);
    size_t clones = 0;
    for (const auto& shown : a->SanDisks()) {
        if (a->FindVolume(shown.volumeName)->sourceSnapshot.empty()) continue;
        ++clones;
        EXPECT_EQ(shown.hostIqn, backup.iqn);
        EXPECT_EQ("/dev/" + shown.device, backup.Catalogue()[0].exposedDevice);
    }
    EXPECT_EQ(clones, 1u);
    CommandResult listed = Shadow({"list", "--json"}, backup.env);
    EXPECT_NE(listed.out.find("\"origin\":\"imported from " + LocalHostName() + "\""), std::string::npos) << listed.out;

    CommandResult released = Shadow({"release", id}, backup.env);
    ASSERT_EQ(released.exitCode, 0) << released.out << released.err;
    EXPECT_FALSE(IsMountPoint(copy));
    EXPECT_TRUE(backup.Catalogue().empty());
    EXPECT_TRUE(a->Snapshots().empty());
    for (const auto& volume : a->Volumes()) EXPECT_TRUE(volume.sourceSnapshot.empty()) << volume.name;
    // The production disk was never mapped to the backup host.
    EXPECT_FALSE(a->IsMapped("a1", host->name));
    for (const auto& request : a->Journal())
        EXPECT_EQ(request.body.find("volume_name=a1"), std::string::npos) << request.target;
    EXPECT_TRUE(Contents(source + "/payroll.db") == data);

    // The production host lets go of its exported row.
    CommandResult forgotten = Shadow({"forget", id});
    EXPECT_EQ(forgotten.exitCode, 0) << forgotten.err;
    EXPECT_NE(forgotten.out.find("Forgotten; the appliances hold nothing of it"), std::string::npos) << forgotten.out;
    EXPECT_TRUE(Catalogue().empty());
}

TEST_F(ShadowTransportTest, RefusalsLeaveBothCataloguesAndTheApplianceAsTheyWere) {
    const std::string document = m_work.Path() + "/set.xml";
    const std::string id = CreateAndExport(document);
    const std::string bytes = Contents(document);
    auto refused = [&](const std::vector<std::string>& args, const Environment& host, const std::string& why) {
        const std::string before = Everything();
        const size_t commands = Commands();
        CommandResult r = Shadow(args, host);
        EXPECT_EQ(r.exitCode, 2) << args[0] << ": " << r.out << r.err;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_EQ(Everything(), before) << args[0];
        EXPECT_EQ(Commands(), commands) << args[0];
    };

    // One byte altered: a digit of the snapshot's name.
    const std::string altered = m_work.Path() + "/altered.xml";
    std::string changed = bytes;
    const size_t at = changed.find("<snapshot>snap_") + 15;
    changed[at] = changed[at] == '1' ? '2' : '1';
    std::ofstream(altered, std::ios::binary) << changed;
    refused({"import", altered}, backup.env,
            "its checksum does not match its content: the document was altered or damaged");
    // SHA-256 is no signature: a byte altered and the checksum made anew
    // meets the checks of the values (here, the source LUN record's magic).
    changed = bytes;
    changed[changed.find("<source-lun>S0xVTj") + 12] = 'T';
    const size_t tail = changed.rfind("<sha256>") + 8;
    unsigned char digest[32];
    unsigned int length = 0;
    ASSERT_EQ(EVP_Digest(changed.data(), tail - 8, digest, &length, EVP_sha256(), nullptr), 1);
    for (unsigned int i = 0; i < length; ++i) std::snprintf(&changed[tail + 2 * i], 3, "%02x", digest[i]);
    changed[tail + 64] = '<';  // where snprintf left its terminator
    std::ofstream(altered, std::ios::binary) << changed;
    refused({"import", altered}, backup.env,
            "the source LUN record of shadow copy " + id + " is damaged: LUN record: unknown format");

    refused({"import", document}, third.env,
            "The appliance " + a->Address() + " of shadow copy " + id +
                " is not recorded in this host's configuration store");
    {
        ScopedEnvironment as(third.env);
        RecordInStore(*a);
    }

    ASSERT_EQ(Shadow({"import", document}, backup.env).exitCode, 0);
    CommandResult exposed = Shadow({"expose", id}, backup.env);
    ASSERT_EQ(exposed.exitCode, 0) << exposed.out << exposed.err;
    refused({"import", document}, third.env, "Shadow copy " + id + " is exposed on another host: the clone volume ");
    refused({"import", document}, backup.env, "Shadow copy " + id + " is in this host's catalogue already");
    // The backup host's disk of the same name is the clone, not the source.
    refused({"revert", id}, backup.env, "no longer shows the volume of shadow copy " + id);
    refused({"expose", id}, {}, "Shadow copy " + id + " is exported");
    refused({"export", id}, {}, "Shadow copy " + id + " is exported already");
    // The backup host's clone is no orphan of the production host.
    EXPECT_NE(Shadow({"list", "--orphans"}).out.find("The appliances hold nothing that no shadow copy of this host knows"),
              std::string::npos);

    EXPECT_EQ(Shadow({"release", id}, backup.env).exitCode, 0);
    EXPECT_TRUE(a->Snapshots().empty());
}

TEST_F(ShadowTransportTest, TheBackupHostsServiceExposesAsInProcess) {
    const std::string document = m_work.Path() + "/set.xml";
    auto offHost = [&](bool throughService) {
        std::string transcript;
        auto run = [&](const Environment& host, const std::vector<std::string>& args) {
            CommandResult r = Shadow(args, host);
            transcript += "$ " + args[0] + "\nexit " + std::to_string(r.exitCode) + "\n" + r.out + r.err;
        };
        const std::string id = CreateAndExport(document);
        m_inProcess = !throughService;  // the backup host's commands; the production host's are in process
        run(backup.env, {"import", document});
        run(backup.env, {"expose", id});
        // The clone is mapped to the host whose initiator name the service read.
        for (const auto& m : a->Mappings())
            if (!a->FindVolume(m.volumeName)->sourceSnapshot.empty())
                transcript += "clone mapped to " + a->FindHost(m.hostName)->iqn + "\n";
        run(backup.env, {"list", "--json"});
        run(backup.env, {"release", id});
        m_inProcess = true;
        run({}, {"forget", id});
        return std::regex_replace(Normalized(transcript), std::regex("[0-9a-f]{64}"), "<checksum>");
    };
    const std::string inProcess = offHost(false);
    EXPECT_NE(inProcess.find("clone mapped to " + backup.iqn + "\n"), std::string::npos) << inProcess;
    EXPECT_EQ(inProcess.find("exit 1"), std::string::npos) << inProcess;
    EXPECT_EQ(inProcess.find("exit 2"), std::string::npos) << inProcess;

    std::unique_ptr<ChildProcess> service = StartProviderService(backup.dir.Path(), backup.env);
    ASSERT_TRUE(service);
    EXPECT_EQ(offHost(true), inProcess);
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(std::chrono::seconds(30)), 0) << service->Stderr();
}

}  // namespace
}  // namespace korvel_test
