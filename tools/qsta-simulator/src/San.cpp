#include "San.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

namespace fs = std::filesystem;

namespace qsta::detail {

namespace {

// Several simulators may share one tree (one host, several appliances):
// device names and SCSI host numbers are taken under a lock on the tree.
class TreeLock {
public:
    explicit TreeLock(const std::string& root) {
        m_fd = ::open((root + "/.san.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0 || ::flock(m_fd, LOCK_EX) != 0)
            throw std::runtime_error("qsta-simulator: cannot lock the SAN tree " + root);
    }
    ~TreeLock() { ::close(m_fd); }
    TreeLock(const TreeLock&) = delete;
    TreeLock& operator=(const TreeLock&) = delete;

private:
    int m_fd = -1;
};

// sdb, sdc, ..., sdz, sdaa, ...: the kernel's names, sda left to the system disk.
std::string DiskName(unsigned index) {
    std::string letters;
    for (unsigned n = index + 1; n > 0; n = (n - 1) / 26) letters.insert(letters.begin(), char('a' + (n - 1) % 26));
    return "sd" + letters;
}

std::string Padded(const std::string& text, size_t width) {
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("qsta-simulator: cannot write " + path.string());
}

std::string VpdPage(unsigned char code, const std::string& payload) {
    std::string page = {'\0', static_cast<char>(code), static_cast<char>((payload.size() >> 8) & 0xFF),
                        static_cast<char>(payload.size() & 0xFF)};
    return page + payload;
}

std::string Designator(unsigned char codeSet, unsigned char type, const std::string& bytes) {
    std::string d = {static_cast<char>(codeSet), static_cast<char>(type), '\0', static_cast<char>(bytes.size())};
    return d + bytes;
}

std::string HexBytes(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

}  // namespace

San::San(std::string root, std::string hostIqn) : m_root(std::move(root)), m_hostIqn(std::move(hostIqn)) {}

San::~San() {
    std::lock_guard lock(m_mutex);
    try {
        for (const auto& entry : m_disks) RemoveDisk(entry.second);
        if (m_host >= 0) fs::remove_all(m_root + "/devices/platform/host" + std::to_string(m_host));
    } catch (const std::exception&) {
        // The tree may be gone already (a test's temporary folder).
    }
}

void San::Sync(const Model& model) {
    if (m_root.empty()) return;
    std::lock_guard lock(m_mutex);
    std::set<std::string> hostNames;
    for (const Host& host : model.Hosts())
        if (host.iqn == m_hostIqn) hostNames.insert(host.name);
    std::map<std::string, Volume> wanted;
    for (const Mapping& mapping : model.Mappings()) {
        if (hostNames.count(mapping.hostName) == 0) continue;
        if (auto volume = model.FindVolume(mapping.volumeName)) wanted.emplace(volume->name, *volume);
    }
    for (auto it = m_disks.begin(); it != m_disks.end();) {
        auto w = wanted.find(it->first);
        if (w == wanted.end() || w->second.ieeeId != it->second.disk.ieeeId) {
            RemoveDisk(it->second);
            it = m_disks.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& entry : wanted)
        if (m_disks.count(entry.first) == 0) AddDisk(entry.second, model.ModelOf(entry.first));
}

std::vector<SanDisk> San::Disks() const {
    std::lock_guard lock(m_mutex);
    std::vector<SanDisk> disks;
    for (const auto& entry : m_disks) disks.push_back(entry.second.disk);
    return disks;
}

void San::AddDisk(const Volume& volume, const std::string& model) {
    fs::create_directories(m_root + "/class/block");
    fs::create_directories(m_root + "/devices/platform");
    TreeLock lock(m_root);
    if (m_host < 0) {
        for (int n = 1;; ++n) {
            if (::mkdir((m_root + "/devices/platform/host" + std::to_string(n)).c_str(), 0755) == 0) {
                m_host = n;
                break;
            }
            if (errno != EEXIST) throw std::runtime_error("qsta-simulator: cannot make a SCSI host in " + m_root);
        }
    }
    std::string name;
    for (unsigned i = 1;; ++i) {
        name = DiskName(i);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(m_root + "/class/block/" + name, ec))) break;
    }
    const std::string h = std::to_string(m_host);
    const std::string address = h + ":0:0:" + std::to_string(m_nextLun++);
    const std::string relative = "devices/platform/host" + h + "/session" + h + "/target" + h + ":0:0/" + address;
    const fs::path scsiDir = m_root + "/" + relative;
    fs::create_directories(scsiDir / "block" / name);

    WriteFile(scsiDir / "vendor", "Korvel  \n");
    WriteFile(scsiDir / "model", Padded(model, 16) + "\n");
    WriteFile(scsiDir / "rev", " 1.2\n");
    WriteFile(scsiDir / "type", "0\n");
    WriteFile(scsiDir / "queue_depth", "32\n");
    WriteFile(scsiDir / "vpd_pg80", VpdPage(0x80, volume.name));
    WriteFile(scsiDir / "vpd_pg83", VpdPage(0x83, Designator(0x02, 0x01, "Korvel  " + volume.name) +
                                                      Designator(0x01, 0x02, HexBytes(volume.ieeeId))));
    fs::create_directory_symlink("../..", scsiDir / "block" / name / "device");
    fs::create_directory_symlink("../../" + relative + "/block/" + name, m_root + "/class/block/" + name);

    Disk disk;
    disk.disk.device = name;
    disk.disk.volumeName = volume.name;
    disk.disk.ieeeId = volume.ieeeId;
    disk.scsiDir = scsiDir.string();
    m_disks.emplace(volume.name, disk);
}

void San::RemoveDisk(const Disk& disk) {
    std::error_code ec;
    fs::remove(m_root + "/class/block/" + disk.disk.device, ec);
    fs::remove_all(disk.scsiDir, ec);
}

}  // namespace qsta::detail
