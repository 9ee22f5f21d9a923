// Shared set-up of the object model tests: a running appliance simulator,
// the REST transport started, and helpers that record appliances in the
// test's own registry store the way the registration tool does.
#pragma once

#include <qsta/Simulator.h>

#include <memory>
#include <string>
#include <vector>

#include "KorvelAccessLibrary.h"
#include "TestEnv.h"

namespace korvel_test {

// Writes HKEY_LOCAL_MACHINE\SOFTWARE\Korvel\HwProvider through the registry functions.
void CreateStoreKey();
void RecordAppliance(const std::string& name, const std::string& accessKey);
void RecordApplianceWithoutKey(const std::string& name);
void RemoveAppliance(const std::string& name);

// The text the library logs in place of a key.
std::string Masked(const std::string& key);

class ObjectModelTest : public KorvelEnvTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // An array for the simulator, created with its address and key.
    std::unique_ptr<Korvel::KArray> MakeArray();
    std::string Address() const { return m_sim->Address(); }
    std::string Key() const { return m_sim->AccessKey(); }
    qsta::Simulator& Sim() { return *m_sim; }

    // Requests the simulator received since the last ClearJournal.
    std::vector<std::string> RequestLines() const;  // "METHOD path"
    size_t CountRequests(const std::string& method, const std::string& path) const;

    static std::string VolumeID(Korvel::KVolume* volume);
    static std::string Name(Korvel::KVolume* volume);
    static std::string DispName(Korvel::KVolume* volume);
    static std::string CgID(Korvel::KVolume* volume);
    static std::string LatestSnapshot(Korvel::KVolume* volume);

private:
    std::unique_ptr<qsta::Simulator> m_sim;
};

}  // namespace korvel_test
