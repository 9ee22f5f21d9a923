// KorvelShadow reaching the provider where VSS reaches it, in the
// KorvelProvider service: the same lifecycle gives the same output and the
// same catalogue records as with the provider in its own process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "HostEnv.h"
#include "KLunRecord.h"
#include "KorvelProviderHost.h"
#include "ShadowEnv.h"

namespace korvel_test {
namespace {

using Korvel::KLunRecord;
using Korvel::KShadowCopyEntry;

std::string Render(const std::string& blob) {
    if (blob.empty()) return "-";
    KLunRecord record = KLunRecord::Decode(blob);
    const VDS_LUN_INFORMATION& r = record.Info();
    auto text = [](const char* t) { return t != nullptr ? std::string(t) : std::string("<null>"); };
    std::string out = text(r.m_szVendorId) + "|" + text(r.m_szProductId) + "|" + text(r.m_szProductRevision) + "|" +
                      text(r.m_szSerialNumber) + "|bus " + std::to_string(r.m_BusType) + "|ids v" +
                      std::to_string(r.m_deviceIdDescriptor.m_version);
    for (ULONG i = 0; i < r.m_deviceIdDescriptor.m_cIdentifiers; ++i)
        out += "|" + std::to_string(r.m_deviceIdDescriptor.m_rgIdentifiers[i].m_Type) + ":" +
               Korvel::IdentifierText(r.m_deviceIdDescriptor.m_rgIdentifiers[i]);
    return out;
}

class ShadowLocalServerTest : public TwoApplianceShadowTest {
protected:
    void SetUp() override {
        TwoApplianceShadowTest::SetUp();
        ::chmod(m_run.Path().c_str(), 0755);
        setenv("KORVEL_PROVIDER_SOCKET", (m_run.Path() + "/KorvelProvider.sock").c_str(), 1);
    }

    // The lifecycle as separate commands; every command's exit code and
    // output, then the catalogue's records.
    std::string Lifecycle() {
        std::string transcript;
        auto run = [&](const std::vector<std::string>& args) {
            CommandResult r = Shadow(args);
            transcript += "$ " + args[0] + "\nexit " + std::to_string(r.exitCode) + "\n" + r.out + r.err;
        };
        const std::string a1 = Device(*a, "a1"), a2 = Device(*a, "a2"), b1 = Device(*b, "b1");
        run({"create", a1, a2, b1});
        auto id = [&](const std::string& device) {
            for (const auto& e : Catalogue())
                if (e.sourceDevice == device) return e.shadowId;
            return std::string("<none>");
        };
        const std::string dataA = id(a1), logA = id(a2), dataB = id(b1);
        run({"expose", dataA});
        run({"release", dataA});
        run({"expose", dataB});
        run({"mask", dataB});
        run({"expose", dataB});
        run({"revert", logA});
        run({"list", "--json"});
        run({"delete", logA});
        // A refusal of the appliance, with the provider's event.
        a->AddFault(qsta::Fault::Refuse("POST", "/api/snapshots/snapshots_set", "4", std::string("Pool is full")));
        run({"create", a1});
        for (const KShadowCopyEntry& e : Catalogue())
            transcript += "entry " + e.shadowId + " set " + e.setId + " at " + e.createdAt + " " + e.sourceDevice +
                          " " + e.snapshotName + " exposed " + e.exposedDevice + "\n  source " + Render(e.sourceLun) +
                          "\n  target " + Render(e.targetLun) + "\n  exposed " + Render(e.exposedLun) + "\n";
        return transcript;
    }

    TempDir m_run;
};

TEST_F(ShadowLocalServerTest, LifecycleThroughTheServiceMatchesInProcess) {
    const std::string inProcess = Lifecycle();
    ASSERT_NE(inProcess.find("exit 1"), std::string::npos);  // the refused create
    ASSERT_EQ(inProcess.find("exit 2"), std::string::npos) << inProcess;

    // The catalogue emptied, the provider now a service: "LocalService"
    // registered, started as systemd would start it.
    std::filesystem::remove(CataloguePath());
    std::unique_ptr<ChildProcess> server = StartProviderService(m_run.Path());
    ASSERT_TRUE(server);

    m_inProcess = false;
    const std::string throughService = Lifecycle();
    EXPECT_EQ(Normalized(throughService), Normalized(inProcess));

    // The provider ran in the service: its log holds this run's two commits
    // (the lifecycle's and the refused one), the commands' log only the
    // in-process run's.
    auto commits = [](const std::string& log) {
        size_t n = 0;
        for (size_t at = log.find("Entering CKorvelVSSProvider::CommitSnapshots()"); at != std::string::npos;
             at = log.find("Entering CKorvelVSSProvider::CommitSnapshots()", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(commits(ReadFile(LogDir() + "/KorvelVSSProvider.log")), 2u);
    EXPECT_EQ(commits(ReadFile(LogDir() + "/KorvelShadow.log")), 2u);

    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(std::chrono::seconds(30)), 0) << server->Stderr();
    // Without the service a create fails and records nothing.
    const size_t entries = Catalogue().size();
    CommandResult none = Shadow({"create", Device(*a, "a1")});
    EXPECT_EQ(none.exitCode, 1) << none.out << none.err;
    EXPECT_EQ(Catalogue().size(), entries);
    EXPECT_NE(none.err.find("CoCreateInstance failed with CO_E_SERVER_EXEC_FAILURE (0x80080005)"), std::string::npos)
        << none.err;
    EXPECT_NE(none.err.find("the KorvelProvider service is not running (no server on " + m_run.Path() +
                            "/KorvelProvider.sock): start it with systemctl start KorvelProvider"),
              std::string::npos)
        << none.err;
}

}  // namespace
}  // namespace korvel_test
