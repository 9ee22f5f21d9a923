// Runs the KorvelShadow command as a child process in the provider tests'
// environment: simulators playing the SAN, a private store, catalogue and log.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "HostEnv.h"
#include "KShadowCatalogue.h"
#include "ProviderEnv.h"

namespace korvel_test {

// Variables set over the test's own: another host's initiator file, sysfs
// tree, catalogue and configuration store.
using Environment = std::vector<std::pair<std::string, std::string>>;

struct CommandResult {
    int exitCode = -1;  // -1: killed or timed out
    std::string out;
    std::string err;
};

class ShadowTest : public ProviderTest {
protected:
    void SetUp() override;

    // Writes the hardware provider's registration record, as installing the provider does.
    void RegisterProvider();
    // KorvelShadow with these arguments, as the host `host` describes (by
    // default this test's); gives up (and kills it) after 60 s.
    CommandResult Shadow(const std::vector<std::string>& args, const Environment& host = {});
    // Starts KorvelShadow with output discarded; the caller waits for it.
    pid_t StartShadow(const std::vector<std::string>& args);

    std::vector<Korvel::KShadowCopyEntry> Catalogue() const;

    // The commands create the provider in their own process ("--in-process");
    // false: they reach it in the KorvelProvider server.
    bool m_inProcess = true;
    const std::string& CataloguePath() const { return m_catalogue; }

private:
    std::string m_catalogue;
};

// The provider registered and two appliances, A and B, recorded.
class TwoApplianceShadowTest : public ShadowTest {
protected:
    void SetUp() override;

    qsta::Simulator* a = nullptr;
    qsta::Simulator* b = nullptr;
};

// Sets variables of this process while it lives, as another host has them,
// and puts back what was there.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const Environment& host);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::vector<std::pair<std::string, std::string>> m_saved;
    std::vector<std::string> m_unset;
};

// The KorvelProvider service with `host`'s variables, started as systemd
// starts it ("LocalService" registered in that host's store, a notify socket
// in `runDir`), once it announced READY=1; null, with the failure recorded,
// when it did not.
std::unique_ptr<ChildProcess> StartProviderService(const std::string& runDir, const Environment& host = {});

// The text of a JSON string field "name":"..." at its first occurrence after `from`.
std::string JsonField(const std::string& json, const std::string& name, size_t from = 0);

// What differs from run to run by design (IDs drawn anew, times, the letters
// of new disks) named by order of first appearance.
std::string Normalized(const std::string& text);

// Why this machine cannot hold data on the simulated disks (root, loop
// devices, mkfs.ext4), or "" when it can.
std::string WhyNoData();
// Loop devices whose backing file lies under `dir`.
size_t LoopsUnder(const std::string& dir);
bool IsMountPoint(const std::string& dir);

}  // namespace korvel_test
