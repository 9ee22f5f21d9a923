// Shared set-up of the provider tests: appliance simulators that also play
// the storage network into a private sysfs tree, recorded in the test's own
// registry store, and a provider object made through its class factory.
#pragma once

#include <qsta/Simulator.h>

#include <memory>
#include <string>
#include <vector>

#include "KorvelProvider.h"
#include "TestEnv.h"
#include "VssDriver.h"

namespace korvel_test {

extern const char* const kHostIqn;
// Two appliances: "a" with a1 (model "QSTA-Volume-X") and a2, "b" with b1,
// every volume mapped to this host.
extern const char* const kSeedA;
extern const char* const kSeedB;

// Holds one reference to a COM object.
template <typename T>
class ComRef {
public:
    ComRef() = default;
    explicit ComRef(T* p) : m_p(p) {}
    ComRef(ComRef&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ~ComRef() {
        if (m_p != nullptr) m_p->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    T** Out() { return &m_p; }

private:
    T* m_p = nullptr;
};

class ProviderTest : public KorvelEnvTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A started simulator without the default seed, loaded with `seed`, its
    // host entry for kHostIqn made, and recorded in the store.
    qsta::Simulator& AddAppliance(const std::string& seed, bool record = true);
    void RecordInStore(qsta::Simulator& sim);
    // "/dev/sdX" of the disk that shows the volume.
    std::string Device(qsta::Simulator& sim, const std::string& volumeName);
    // A disk of another vendor, as a local SATA disk shows in sysfs.
    std::string AddForeignDisk(const std::string& name);
    const std::string& SanRoot() const { return m_san.Path(); }
    // The host's initiator file (KORVEL_INITIATOR_FILE) names `iqn`.
    void SetInitiatorName(const std::string& iqn);

    ComRef<IUnknown> NewProvider();
    std::vector<std::string> Events() const;  // the event file's lines
    size_t CountEvents(const std::string& fragment) const;

    std::vector<std::unique_ptr<qsta::Simulator>> m_sims;
    // Set before AddAppliance: disks that follow the mappings at once (else
    // they wait for the host's rescan), and a folder whose volumes keep data.
    bool m_autoScan = true;
    std::string m_dataRoot;
    // Set before AddAppliance: more hosts whose storage network the simulators play.
    std::vector<qsta::SanHost> m_otherHosts;

private:
    TempDir m_san;
};

}  // namespace korvel_test
