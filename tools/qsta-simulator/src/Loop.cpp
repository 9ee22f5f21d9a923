#include "Loop.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "KDescriptor.h"

namespace qsta::detail {

namespace {

using Korvel::KDescriptor;

// Errors that say this process may not use loop devices at all, rather than
// that one attach failed.
bool MeansUnusable(int error) { return error == EPERM || error == EACCES || error == ENOTTY || error == ENOENT; }

}  // namespace

LoopDevice::~LoopDevice() { ::close(m_fd); }

std::unique_ptr<LoopDevice> LoopDevices::Unusable(const std::string& reason) {
    if (!m_unusable && m_say)
        m_say("qsta-simulator: loop devices cannot be used (" + reason + "): the disks have no block device");
    m_unusable = true;
    return nullptr;
}

std::unique_ptr<LoopDevice> LoopDevices::Attach(const std::string& image) {
    std::lock_guard lock(m_mutex);
    if (m_unusable) return nullptr;
    auto failed = [&](const std::string& cause) -> std::unique_ptr<LoopDevice> {
        if (m_say) m_say("qsta-simulator: no block device for " + image + ": " + cause);
        return nullptr;
    };
    KDescriptor control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (control.get() < 0) return Unusable(std::string("/dev/loop-control: ") + std::strerror(errno));
    KDescriptor backing(::open(image.c_str(), O_RDWR | O_CLOEXEC));
    if (backing.get() < 0) return failed(std::strerror(errno));
    // Another process may take the free device first: then ask again.
    for (int attempt = 0; attempt < 32; ++attempt) {
        int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (number < 0) {
            if (MeansUnusable(errno)) return Unusable(std::string("LOOP_CTL_GET_FREE: ") + std::strerror(errno));
            return failed(std::string("LOOP_CTL_GET_FREE: ") + std::strerror(errno));
        }
        const std::string path = "/dev/loop" + std::to_string(number);
        KDescriptor device(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (device.get() < 0) {
            if (MeansUnusable(errno)) return Unusable(path + ": " + std::strerror(errno));
            return failed(path + ": " + std::strerror(errno));
        }
        loop_config config{};
        config.fd = static_cast<__u32>(backing.get());
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(), LO_NAME_SIZE - 1);
        if (::ioctl(device.get(), LOOP_CONFIGURE, &config) != 0) {
            if (errno == EBUSY) continue;
            if (MeansUnusable(errno) || errno == EINVAL)
                return Unusable(path + ": LOOP_CONFIGURE: " + std::strerror(errno));
            return failed(path + ": " + std::strerror(errno));
        }
        struct stat st {};
        if (::fstat(device.get(), &st) != 0) return failed(path + ": " + std::strerror(errno));
        return std::unique_ptr<LoopDevice>(
            new LoopDevice(device.release(), path, ::major(st.st_rdev), ::minor(st.st_rdev)));
    }
    return failed("every free loop device was taken by another process");
}

}  // namespace qsta::detail
