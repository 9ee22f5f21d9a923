// A POSIX file descriptor with one owner, closed on every way out: -1 holds
// nothing, as every call that makes a descriptor reports a failure. And the
// whole-buffer write that the log and the registry stand-in share.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

#include "KHandle.h"

namespace Korvel {

struct KDescriptorTraits {
    using Handle = int;
    static constexpr Handle Empty() noexcept { return -1; }
    static void Release(Handle fd) noexcept { ::close(fd); }
};
using KDescriptor = KHandle<KDescriptorTraits>;

// Writes all of text, going on after a signal; false on any other failure.
inline bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace Korvel
