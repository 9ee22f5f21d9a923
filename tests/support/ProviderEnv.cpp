#include "ProviderEnv.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "registry.h"

namespace fs = std::filesystem;

namespace korvel_test {

const char* const kHostIqn = "iqn.2026-12.local.example:provider-test";
const char* const kSeedA =
    "volume name=a1 display-name=alpha-data ieee-id=6b72760000000a01 model=QSTA-Volume-X\n"
    "volume name=a2 display-name=alpha-log ieee-id=6b72760000000a02\n"
    "map volume=a1 host=this-host\nmap volume=a2 host=this-host\n";
const char* const kSeedB =
    "volume name=b1 display-name=beta-data ieee-id=6b72760000000b01\nmap volume=b1 host=this-host\n";

namespace {

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

void RecordAppliance(const std::string& name, const std::string& accessKey) {
    HKEY key = nullptr;
    const std::string path = "SOFTWARE\\Korvel\\HwProvider\\" + name;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create " + path);
    LONG result = RegSetValueExA(key, "AccessKey", 0, REG_SZ, reinterpret_cast<const BYTE*>(accessKey.c_str()),
                                 static_cast<DWORD>(accessKey.size() + 1));
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) throw std::runtime_error("cannot write the key of " + name);
}

}  // namespace

void ProviderTest::SetUp() {
    KorvelEnvTest::SetUp();
    setenv("KORVEL_SYSFS_ROOT", m_san.Path().c_str(), 1);
    SetInitiatorName(kHostIqn);
}

void ProviderTest::SetInitiatorName(const std::string& iqn) {
    const std::string path = m_san.Path() + "/initiatorname.iscsi";
    Write(path, "## written by the test\nInitiatorName=" + iqn + "\n");
    setenv("KORVEL_INITIATOR_FILE", path.c_str(), 1);
}

void ProviderTest::TearDown() {
    m_sims.clear();
    KorvelEnvTest::TearDown();
}

qsta::Simulator& ProviderTest::AddAppliance(const std::string& seed, bool record) {
    qsta::Options options;
    options.defaultSeed = false;
    options.sanRoot = m_san.Path();
    options.hostIqn = kHostIqn;
    options.sanHosts = m_otherHosts;
    // The provider tests play the host's rescans by letting the disks follow
    // the mappings at once; the command's tests rescan as a host does.
    options.autoScan = m_autoScan;
    if (!m_dataRoot.empty()) options.dataDir = m_dataRoot + "/appliance-" + std::to_string(m_sims.size() + 1);
    options.threads = 2;
    auto sim = std::make_unique<qsta::Simulator>(options);
    sim->LoadSeed("host name=this-host iscsi-ip=192.0.2.20 iqn=" + std::string(kHostIqn) + "\n" + seed);
    sim->Start();
    if (record) RecordInStore(*sim);
    m_sims.push_back(std::move(sim));
    return *m_sims.back();
}

void ProviderTest::RecordInStore(qsta::Simulator& sim) { RecordAppliance(sim.Address(), sim.AccessKey()); }

std::string ProviderTest::Device(qsta::Simulator& sim, const std::string& volumeName) {
    for (const auto& disk : sim.SanDisks())
        if (disk.volumeName == volumeName && !disk.stale) return "/dev/" + disk.device;
    throw std::runtime_error("no disk shows volume " + volumeName);
}

std::string ProviderTest::AddForeignDisk(const std::string& name) {
    fs::path dir = fs::path(m_san.Path()) / "devices/pci0000:00/ata1/host0/target0:0:0/0:0:0:0";
    fs::create_directories(dir / "block" / name);
    Write(dir / "vendor", "ATA     \n");
    Write(dir / "model", "Local SSD 512   \n");
    Write(dir / "rev", "3B6Q\n");
    // One NAA designator: not an EUI-64, so no LUN IEEE ID.
    Write(dir / "vpd_pg83", std::string("\0\x83\0\x0c\x01\x03\0\x08\x50\x01\x02\x03\x04\x05\x06\x07", 16));
    fs::create_directory_symlink("../..", dir / "block" / name / "device");
    fs::create_directories(fs::path(m_san.Path()) / "class/block");
    fs::create_directory_symlink(fs::relative(dir / "block" / name, fs::path(m_san.Path()) / "class/block"),
                                 fs::path(m_san.Path()) / "class/block" / name);
    return "/dev/" + name;
}

ComRef<IUnknown> ProviderTest::NewProvider() {
    ComRef<IUnknown> provider;
    HRESULT hr = CKorvelVSSProviderFactory::Instance()->CreateInstance(nullptr, IID_IUnknown,
                                                                       reinterpret_cast<void**>(provider.Out()));
    if (hr != S_OK) throw std::runtime_error("CreateInstance failed");
    return provider;
}

std::vector<std::string> ProviderTest::Events() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(LogDir() + "/KorvelProvider.events.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t ProviderTest::CountEvents(const std::string& fragment) const {
    size_t n = 0;
    for (const auto& line : Events())
        if (line.find(fragment) != std::string::npos) ++n;
    return n;
}

}  // namespace korvel_test
