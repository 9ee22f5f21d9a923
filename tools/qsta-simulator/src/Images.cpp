#include "Images.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "KDescriptor.h"

namespace fs = std::filesystem;

namespace qsta::detail {

namespace {

using Korvel::KDescriptor;

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(error));
}

int OpenFile(const std::string& path, int flags, mode_t mode = 0600) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) Fail("open", path, errno);
    return fd;
}

off_t SizeOf(int fd, const std::string& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) Fail("read the size of", path, errno);
    return st.st_size;
}

// Calls onData(offset, length) for each data range of the first `size` bytes
// and onHole(offset, length) for each hole between them. A filesystem
// without SEEK_DATA reports the whole file as data, which is still correct.
template <typename OnData, typename OnHole>
void ForEachRange(int fd, off_t size, const std::string& path, OnData onData, OnHole onHole) {
    off_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(fd, pos, SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO) Fail("find the data of", path, errno);
            data = size;
        }
        data = std::min(data, size);
        if (data > pos) onHole(pos, data - pos);
        if (data >= size) break;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) Fail("find the holes of", path, errno);
        hole = std::min(hole, size);
        onData(data, hole - data);
        pos = hole;
    }
}

// Copies [offset, offset + length) of `in` to the same place in `out`: in the
// kernel where it can, else through a buffer.
void CopyRange(int in, int out, off_t offset, off_t length, const std::string& from, const std::string& to) {
    bool inKernel = true;
    std::string buffer;
    while (length > 0) {
        if (inKernel) {
            loff_t inOffset = offset;
            loff_t outOffset = offset;
            ssize_t n = ::copy_file_range(in, &inOffset, out, &outOffset, static_cast<size_t>(length), 0);
            if (n > 0) {
                offset += n;
                length -= n;
                continue;
            }
            if (n == 0) throw std::runtime_error("cannot copy " + from + ": it ended early");
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
                Fail("copy " + from + " to", to, errno);
            inKernel = false;
            buffer.resize(1 << 20);
        }
        size_t chunk = static_cast<size_t>(std::min<off_t>(length, static_cast<off_t>(buffer.size())));
        ssize_t got = ::pread(in, buffer.data(), chunk, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) Fail("read", from, errno);
        if (got == 0) throw std::runtime_error("cannot copy " + from + ": it ended early");
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::pwrite(out, buffer.data() + done, static_cast<size_t>(got - done), offset + done);
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) Fail("write", to, errno);
            done += put;
        }
        offset += got;
        length -= got;
    }
}

// Makes [offset, offset + length) of `out` read as zeros, as a hole where the
// filesystem can punch one.
void Zero(int out, off_t offset, off_t length, const std::string& to) {
    if (::fallocate(out, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) == 0) return;
    if (errno != EOPNOTSUPP) Fail("punch a hole in", to, errno);
    const std::string zeros(1 << 20, '\0');
    while (length > 0) {
        size_t chunk = static_cast<size_t>(std::min<off_t>(length, static_cast<off_t>(zeros.size())));
        ssize_t put = ::pwrite(out, zeros.data(), chunk, offset);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) Fail("write", to, errno);
        offset += put;
        length -= put;
    }
}

// A name as a file name: letters, digits, '-', '_' and '.' kept (no leading
// '.'), everything else as %XX. A name too long for a file name is replaced by
// its SHA-256, so any name an appliance accepts has a file.
std::string FileName(const std::string& name) {
    static const char* const hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        bool keep = std::isalnum(c) || c == '-' || c == '_' || (c == '.' && !out.empty());
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (out.empty()) return "%";
    if (out.size() <= 200) return out;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(name.data(), name.size(), digest, &length, EVP_sha256(), nullptr);
    out = "~";
    for (unsigned i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

}  // namespace

void CopyImage(const std::string& from, const std::string& to) {
    KDescriptor in(OpenFile(from, O_RDONLY));
    const off_t size = SizeOf(in.get(), from);
    if (::unlink(to.c_str()) != 0 && errno != ENOENT) Fail("replace", to, errno);
    KDescriptor out(OpenFile(to, O_WRONLY | O_CREAT | O_EXCL));
    try {
        if (::ioctl(out.get(), FICLONE, in.get()) == 0) return;
        if (::ftruncate(out.get(), size) != 0) Fail("size", to, errno);
        ForEachRange(
            in.get(), size, from,
            [&](off_t offset, off_t length) { CopyRange(in.get(), out.get(), offset, length, from, to); },
            [](off_t, off_t) {});
    } catch (...) {
        ::unlink(to.c_str());
        throw;
    }
}

void RestoreImage(const std::string& from, const std::string& to) {
    KDescriptor in(OpenFile(from, O_RDONLY));
    KDescriptor out(OpenFile(to, O_WRONLY));
    const off_t size = SizeOf(in.get(), from);
    if (::ioctl(out.get(), FICLONE, in.get()) == 0) return;
    ForEachRange(
        in.get(), size, from,
        [&](off_t offset, off_t length) { CopyRange(in.get(), out.get(), offset, length, from, to); },
        [&](off_t offset, off_t length) { Zero(out.get(), offset, length, to); });
    if (::ftruncate(out.get(), size) != 0) Fail("size", to, errno);
}

Images::Images(std::string dir) : m_dir(std::move(dir)) {
    std::error_code ec;
    fs::create_directories(m_dir, ec);
    const std::string lockPath = m_dir + "/.qsta-simulator.lock";
    m_lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lock < 0) Fail("open", lockPath, errno);
    if (::flock(m_lock, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(m_lock);
        if (error == EWOULDBLOCK)
            throw std::runtime_error("the data folder " + m_dir + " is in use by another simulator");
        Fail("lock", lockPath, error);
    }
    try {
        Clear();
    } catch (...) {
        ::close(m_lock);
        throw;
    }
}

Images::~Images() {
    std::error_code ec;
    fs::remove_all(m_dir + "/volumes", ec);
    fs::remove_all(m_dir + "/snapshots", ec);
    ::close(m_lock);
}

std::string Images::VolumePath(const std::string& volume) const {
    return m_dir + "/volumes/" + FileName(volume) + ".img";
}

std::string Images::SnapshotDir(const std::string& snapshotId) const {
    return m_dir + "/snapshots/" + FileName(snapshotId);
}

std::string Images::SnapshotPath(const std::string& snapshotId, const std::string& volume) const {
    return SnapshotDir(snapshotId) + "/" + FileName(volume) + ".img";
}

void Images::CreateVolume(const std::string& volume, std::uint64_t size) {
    const std::string path = VolumePath(volume);
    KDescriptor out(OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC));
    if (::ftruncate(out.get(), static_cast<off_t>(size)) != 0) {
        int error = errno;
        ::unlink(path.c_str());
        Fail("size", path, error);
    }
}

void Images::CreateClone(const std::string& volume, std::uint64_t size, const std::string& snapshotId,
                         const std::string& sourceVolume) {
    const std::string from = SnapshotPath(snapshotId, sourceVolume);
    if (::access(from.c_str(), F_OK) == 0)
        CopyImage(from, VolumePath(volume));
    else
        CreateVolume(volume, size);
}

void Images::TakeSnapshot(const std::string& snapshotId, const std::vector<std::string>& volumes) {
    const std::string dir = SnapshotDir(snapshotId);
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (::mkdir(dir.c_str(), 0700) != 0) Fail("make", dir, errno);
    try {
        for (const auto& volume : volumes) CopyImage(VolumePath(volume), SnapshotPath(snapshotId, volume));
    } catch (...) {
        fs::remove_all(dir, ec);
        throw;
    }
}

void Images::Rollback(const std::string& snapshotId, const std::vector<std::string>& volumes) {
    for (const auto& volume : volumes) {
        const std::string from = SnapshotPath(snapshotId, volume);
        // A volume that joined the group after the snapshot has nothing to go back to.
        if (::access(from.c_str(), F_OK) == 0) RestoreImage(from, VolumePath(volume));
    }
}

void Images::DeleteVolume(const std::string& volume) { ::unlink(VolumePath(volume).c_str()); }

void Images::DeleteSnapshot(const std::string& snapshotId) {
    std::error_code ec;
    fs::remove_all(SnapshotDir(snapshotId), ec);
}

void Images::Clear() {
    for (const char* sub : {"/volumes", "/snapshots"}) {
        const std::string dir = m_dir + sub;
        std::error_code ec;
        fs::remove_all(dir, ec);
        if (::mkdir(dir.c_str(), 0700) != 0) Fail("make", dir, errno);
    }
}

}  // namespace qsta::detail
