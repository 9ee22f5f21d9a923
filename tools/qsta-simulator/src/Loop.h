// Loop devices that back the simulated disks with the volumes' images, so a
// host can make a filesystem on a disk, mount it and read it back.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace qsta::detail {

// A loop device attached to an image while this object lives. It is attached
// with LO_FLAGS_AUTOCLEAR and its descriptor is held open: closing it (also
// when the process is killed) detaches it as soon as nobody else holds it.
class LoopDevice {
public:
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    const std::string& Path() const { return m_path; }
    unsigned Major() const { return m_major; }
    unsigned Minor() const { return m_minor; }

private:
    friend class LoopDevices;
    LoopDevice(int fd, std::string path, unsigned major, unsigned minor)
        : m_fd(fd), m_path(std::move(path)), m_major(major), m_minor(minor) {}
    int m_fd;
    std::string m_path;
    unsigned m_major;
    unsigned m_minor;
};

class LoopDevices {
public:
    // `say` receives one line when loop devices cannot be used (once) or one
    // cannot be attached.
    explicit LoopDevices(std::function<void(const std::string&)> say) : m_say(std::move(say)) {}
    // A loop device on `image`; null, the reason said, when there can be none.
    std::unique_ptr<LoopDevice> Attach(const std::string& image);

private:
    std::unique_ptr<LoopDevice> Unusable(const std::string& reason);

    std::function<void(const std::string&)> m_say;
    std::mutex m_mutex;
    bool m_unusable = false;
};

}  // namespace qsta::detail
