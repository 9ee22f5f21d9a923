#include "San.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
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

// The first bytes of a file a host wrote, or "" when it is gone.
std::string ReadSmall(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char buffer[256];
    in.read(buffer, sizeof buffer);
    return std::string(buffer, static_cast<size_t>(in.gcount()));
}

// "- - -": every channel, target and LUN, the request a host makes after the
// target changed.
bool IsWildcardScan(const std::string& text) {
    std::istringstream in(text);
    std::string a, b, c, rest;
    return (in >> a >> b >> c) && !(in >> rest) && a == "-" && b == "-" && c == "-";
}

}  // namespace

San::San(const Model& model, std::string root, std::string hostIqn, bool autoScan, const Images* images,
         LoopDevices* loops, Say say)
    : m_model(model),
      m_root(std::move(root)),
      m_hostIqn(std::move(hostIqn)),
      m_autoScan(autoScan),
      m_images(images),
      m_loops(loops),
      m_say(std::move(say)) {
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_inotify < 0 || m_wake < 0) {
        const std::string cause = std::strerror(errno);
        if (m_inotify >= 0) ::close(m_inotify);
        if (m_wake >= 0) ::close(m_wake);
        throw std::runtime_error("qsta-simulator: cannot watch the SAN tree " + m_root + ": " + cause);
    }
    try {
        MakeHost();
    } catch (...) {
        ::close(m_inotify);
        ::close(m_wake);
        throw;
    }
    m_watcher = std::thread([this] { Watch(); });
}

San::~San() {
    const std::uint64_t one = 1;
    if (::write(m_wake, &one, sizeof one) < 0) {
        // An eventfd write fails only on overflow; the watcher is awake then anyway.
    }
    if (m_watcher.joinable()) m_watcher.join();
    std::lock_guard lock(m_mutex);
    std::error_code ec;
    for (auto& entry : m_disks) RemoveDisk(entry.second);
    m_disks.clear();
    m_ready.clear();
    const std::string h = std::to_string(m_host);
    fs::remove(m_root + "/class/scsi_host/host" + h, ec);
    fs::remove(m_root + "/class/iscsi_host/host" + h, ec);
    fs::remove(m_root + "/class/iscsi_session/session" + h, ec);
    fs::remove_all(m_root + "/devices/platform/host" + h, ec);
    ::close(m_inotify);
    ::close(m_wake);
}

// The iSCSI session's SCSI host, as the kernel makes it at login.
void San::MakeHost() {
    fs::create_directories(m_root + "/class/block");
    fs::create_directories(m_root + "/class/scsi_host");
    fs::create_directories(m_root + "/class/iscsi_host");
    fs::create_directories(m_root + "/class/iscsi_session");
    fs::create_directories(m_root + "/devices/platform");
    TreeLock lock(m_root);
    for (int n = 1;; ++n) {
        // A number in class/scsi_host is taken too (a local disk's host, say).
        std::error_code ec;
        if (fs::exists(fs::symlink_status(m_root + "/class/scsi_host/host" + std::to_string(n), ec))) continue;
        if (::mkdir((m_root + "/devices/platform/host" + std::to_string(n)).c_str(), 0755) == 0) {
            m_host = n;
            break;
        }
        if (errno != EEXIST) throw std::runtime_error("qsta-simulator: cannot make a SCSI host in " + m_root);
    }
    const std::string h = std::to_string(m_host);
    const std::string host = "devices/platform/host" + h;
    const fs::path scsiHost = m_root + "/" + host + "/scsi_host/host" + h;
    const fs::path iscsiHost = m_root + "/" + host + "/iscsi_host/host" + h;
    const fs::path session = m_root + "/" + host + "/session" + h + "/iscsi_session/session" + h;
    fs::create_directories(scsiHost);
    fs::create_directories(iscsiHost);
    fs::create_directories(session);
    WriteFile(scsiHost / "proc_name", "iscsi_tcp\n");
    WriteFile(scsiHost / "scan", "");
    WriteFile(session / "initiatorname", m_hostIqn + "\n");
    fs::create_directory_symlink("../../" + host + "/scsi_host/host" + h, m_root + "/class/scsi_host/host" + h);
    fs::create_directory_symlink("../../" + host + "/iscsi_host/host" + h, m_root + "/class/iscsi_host/host" + h);
    fs::create_directory_symlink("../../" + host + "/session" + h + "/iscsi_session/session" + h,
                                 m_root + "/class/iscsi_session/session" + h);
    m_scanWatch = ::inotify_add_watch(m_inotify, (scsiHost / "scan").c_str(), IN_CLOSE_WRITE);
    if (m_scanWatch < 0)
        throw std::runtime_error("qsta-simulator: cannot watch " + (scsiHost / "scan").string() + ": " +
                                 std::strerror(errno));
}

std::string San::ScanFile() const { return m_root + "/class/scsi_host/host" + std::to_string(m_host) + "/scan"; }

std::map<std::string, Volume> San::Wanted() const {
    std::set<std::string> hostNames;
    for (const Host& host : m_model.Hosts())
        if (host.iqn == m_hostIqn) hostNames.insert(host.name);
    std::map<std::string, Volume> wanted;
    for (const Mapping& mapping : m_model.Mappings()) {
        if (hostNames.count(mapping.hostName) == 0) continue;
        if (auto volume = m_model.FindVolume(mapping.volumeName)) wanted.emplace(volume->name, *volume);
    }
    return wanted;
}

void San::Sync() {
    std::lock_guard lock(m_mutex);
    const auto wanted = Wanted();
    if (m_autoScan) {
        ScanLocked(wanted);
        return;
    }
    for (auto& entry : m_disks) {
        auto w = wanted.find(entry.first);
        entry.second.disk.stale = w == wanted.end() || w->second.ieeeId != entry.second.disk.ieeeId;
    }
    PrepareLocked(wanted);
}

void San::PrepareLocked(const std::map<std::string, Volume>& wanted) {
    for (auto it = m_ready.begin(); it != m_ready.end();) {
        auto w = wanted.find(it->first);
        if (w == wanted.end() || w->second.ieeeId != it->second.ieeeId)
            it = m_ready.erase(it);
        else
            ++it;
    }
    for (const auto& entry : wanted) {
        if (m_disks.count(entry.first) != 0 || m_ready.count(entry.first) != 0) continue;
        bool gone = false;
        auto loop = AttachLoop(entry.second, gone);
        if (loop) m_ready[entry.first] = Ready{entry.second.ieeeId, std::move(loop)};
    }
}

std::unique_ptr<LoopDevice> San::AttachLoop(const Volume& volume, bool& gone) {
    if (m_images == nullptr || m_loops == nullptr) return nullptr;
    const std::string image = m_images->VolumePath(volume.name);
    gone = ::access(image.c_str(), F_OK) != 0;
    return gone ? nullptr : m_loops->Attach(image);
}

void San::Scan() {
    std::lock_guard lock(m_mutex);
    ScanLocked(Wanted());
}

void San::ScanLocked(const std::map<std::string, Volume>& wanted) {
    for (auto it = m_disks.begin(); it != m_disks.end();) {
        auto w = wanted.find(it->first);
        if (w == wanted.end() || w->second.ieeeId != it->second.disk.ieeeId) {
            RemoveDisk(it->second);
            it = m_disks.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& entry : wanted) {
        if (m_disks.count(entry.first) != 0) continue;
        try {
            AddDisk(entry.second);
        } catch (const std::exception& error) {
            if (m_say) m_say(std::string("qsta-simulator: cannot show a disk of ") + entry.first + ": " + error.what());
        }
    }
    PrepareLocked(wanted);
}

std::vector<SanDisk> San::Disks() const {
    std::lock_guard lock(m_mutex);
    std::vector<SanDisk> disks;
    for (const auto& entry : m_disks) disks.push_back(entry.second.disk);
    return disks;
}

void San::AddDisk(const Volume& volume) {
    // The volume's data first: a volume deleted since the mapping was read
    // has no image and no disk.
    std::unique_ptr<LoopDevice> loop;
    auto ready = m_ready.find(volume.name);
    if (ready != m_ready.end() && ready->second.ieeeId == volume.ieeeId) {
        loop = std::move(ready->second.loop);
        m_ready.erase(ready);
    } else {
        bool gone = false;
        loop = AttachLoop(volume, gone);
        if (gone) return;
    }
    const std::string model = m_model.ModelOf(volume.name);
    TreeLock lock(m_root);
    std::string name;
    for (unsigned i = 1;; ++i) {
        name = DiskName(i);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(m_root + "/class/block/" + name, ec))) break;
    }
    const std::string h = std::to_string(m_host);
    const unsigned lun = m_nextLun++;
    const std::string address = h + ":0:0:" + std::to_string(lun);
    const std::string relative = "devices/platform/host" + h + "/session" + h + "/target" + h + ":0:0/" + address;
    const fs::path scsiDir = m_root + "/" + relative;
    const fs::path blockDir = scsiDir / "block" / name;
    fs::create_directories(blockDir);

    Disk disk;
    disk.scsiDir = scsiDir.string();
    disk.disk.device = name;
    disk.disk.volumeName = volume.name;
    disk.disk.ieeeId = volume.ieeeId;
    disk.disk.hostIqn = m_hostIqn;
    disk.disk.sanRoot = m_root;
    disk.disk.scsiHost = m_host;
    disk.disk.lun = lun;
    try {
        WriteFile(scsiDir / "vendor", "Korvel  \n");
        WriteFile(scsiDir / "model", Padded(model, 16) + "\n");
        WriteFile(scsiDir / "rev", " 1.2\n");
        WriteFile(scsiDir / "type", "0\n");
        WriteFile(scsiDir / "queue_depth", "32\n");
        WriteFile(scsiDir / "state", "running\n");
        WriteFile(scsiDir / "vpd_pg80", VpdPage(0x80, volume.name));
        WriteFile(scsiDir / "vpd_pg83", VpdPage(0x83, Designator(0x02, 0x01, "Korvel  " + volume.name) +
                                                          Designator(0x01, 0x02, HexBytes(volume.ieeeId))));
        WriteFile(scsiDir / "delete", "");
        WriteFile(blockDir / "size", std::to_string(volume.size / 512) + "\n");
        if (loop) {
            WriteFile(blockDir / "dev", std::to_string(loop->Major()) + ":" + std::to_string(loop->Minor()) + "\n");
            disk.disk.loopDevice = loop->Path();
            disk.disk.major = loop->Major();
            disk.disk.minor = loop->Minor();
        }
        fs::create_directory_symlink("../..", blockDir / "device");
        disk.deleteWatch = ::inotify_add_watch(m_inotify, (scsiDir / "delete").c_str(), IN_CLOSE_WRITE);
        if (disk.deleteWatch < 0)
            throw std::runtime_error("cannot watch " + (scsiDir / "delete").string() + ": " + std::strerror(errno));
        // Last, so that a reader never finds a disk without its files.
        fs::create_directory_symlink("../../" + relative + "/block/" + name, m_root + "/class/block/" + name);
    } catch (...) {
        RemoveDisk(disk);
        throw;
    }
    disk.loop = std::move(loop);
    m_disks.emplace(volume.name, std::move(disk));
}

void San::RemoveDisk(Disk& disk) {
    std::error_code ec;
    fs::remove(m_root + "/class/block/" + disk.disk.device, ec);
    if (disk.deleteWatch >= 0) ::inotify_rm_watch(m_inotify, disk.deleteWatch);
    disk.deleteWatch = -1;
    fs::remove_all(disk.scsiDir, ec);
    // Detaches the loop device once nobody else (a mount) holds it.
    disk.loop.reset();
}

// A write to the scan file or to a disk's delete file, seen when the writer
// closed it: the kernel acts on these writes, so the simulator must too.
void San::OnWrite(int watch) {
    std::lock_guard lock(m_mutex);
    if (watch == m_scanWatch) {
        const std::string text = ReadSmall(ScanFile());
        if (IsWildcardScan(text)) {
            ScanLocked(Wanted());
        } else if (text.find_first_not_of(" \t\r\n") != std::string::npos && m_say) {
            m_say("qsta-simulator: host" + std::to_string(m_host) + "/scan: ignored \"" +
                  text.substr(0, text.find('\n')) + "\" (only \"- - -\" is understood)");
        }
        return;
    }
    for (auto it = m_disks.begin(); it != m_disks.end(); ++it) {
        if (it->second.deleteWatch != watch) continue;
        // Any write deletes the device, as in the kernel; "1" by custom.
        if (ReadSmall(it->second.scsiDir + "/delete").find_first_not_of(" \t\r\n") == std::string::npos) return;
        RemoveDisk(it->second);
        m_disks.erase(it);
        return;
    }
}

void San::Watch() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{m_inotify, POLLIN, 0}, {m_wake, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            if (m_say) m_say(std::string("qsta-simulator: the SAN watcher stopped: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) return;
        ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
        if (n <= 0) continue;
        for (char* p = buffer; p < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(p);
            p += sizeof(inotify_event) + event->len;
            if ((event->mask & IN_CLOSE_WRITE) == 0) continue;
            try {
                OnWrite(event->wd);
            } catch (const std::exception& error) {
                if (m_say) m_say(std::string("qsta-simulator: ") + error.what());
            }
        }
    }
}

}  // namespace qsta::detail
