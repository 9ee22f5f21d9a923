#include "ObjectModelEnv.h"

#include <stdexcept>

#include "registry.h"

namespace korvel_test {

namespace {

const char* const kStoreKey = "SOFTWARE\\Korvel\\HwProvider";

KorvelRegKey KeyHolder(const std::string& path) {
    KorvelRegKey key;
    if (KorvelCreateKey(HKEY_LOCAL_MACHINE, path, key) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create registry key " + path);
    return key;
}

}  // namespace

void CreateStoreKey() { KeyHolder(kStoreKey); }

void RecordAppliance(const std::string& name, const std::string& accessKey) {
    // Stored with the terminating zero, as the registration tool does.
    if (KorvelSetText(KeyHolder(std::string(kStoreKey) + "\\" + name).get(), "AccessKey", accessKey) != ERROR_SUCCESS)
        throw std::runtime_error("cannot write AccessKey of " + name);
}

void RecordApplianceWithoutKey(const std::string& name) { KeyHolder(std::string(kStoreKey) + "\\" + name); }

void RemoveAppliance(const std::string& name) {
    if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kStoreKey) + "\\" + name).c_str()) != ERROR_SUCCESS)
        throw std::runtime_error("cannot delete registry key of " + name);
}

std::string Masked(const std::string& key) {
    if (key.size() <= 8) return std::string(key.size(), '*');
    return std::string(key.size() - 4, '*') + key.substr(key.size() - 4);
}

void ObjectModelTest::SetUp() {
    KorvelEnvTest::SetUp();
    m_sim = std::make_unique<qsta::Simulator>();
    m_sim->Start();
    Korvel::KAccessLayer::GlobalInit();
}

void ObjectModelTest::TearDown() {
    Korvel::KAccessLayer::GlobalCleanup();
    m_sim.reset();
    KorvelEnvTest::TearDown();
}

std::unique_ptr<Korvel::KArray> ObjectModelTest::MakeArray() {
    std::string address = Address();
    std::string key = Key();
    return std::make_unique<Korvel::KArray>(address, key);
}

std::vector<std::string> ObjectModelTest::RequestLines() const {
    std::vector<std::string> lines;
    for (const auto& entry : m_sim->Journal()) lines.push_back(entry.method + " " + entry.path);
    return lines;
}

size_t ObjectModelTest::CountRequests(const std::string& method, const std::string& path) const {
    size_t n = 0;
    for (const auto& entry : m_sim->Journal())
        if (entry.method == method && entry.path == path) ++n;
    return n;
}

std::string ObjectModelTest::VolumeID(Korvel::KVolume* volume) {
    std::string* id = nullptr;
    volume->GetVolumeID(id);
    return *id;
}

std::string ObjectModelTest::Name(Korvel::KVolume* volume) {
    std::string value;
    volume->GetVolumeName(value);
    return value;
}

std::string ObjectModelTest::DispName(Korvel::KVolume* volume) {
    std::string value;
    volume->GetVolumeDispName(value);
    return value;
}

std::string ObjectModelTest::CgID(Korvel::KVolume* volume) {
    std::string value;
    volume->GetCgID(value);
    return value;
}

std::string ObjectModelTest::LatestSnapshot(Korvel::KVolume* volume) {
    std::string value;
    volume->GetLatestSnapshotID(value);
    return value;
}

}  // namespace korvel_test
