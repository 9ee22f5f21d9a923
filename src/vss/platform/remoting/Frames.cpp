#include "Frames.h"

#include "KorvelRemoting.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace korvel_remoting {

namespace {

using Clock = std::chrono::steady_clock;

enum class Ready { Yes, TimedOut, Woken, Broken };

// Milliseconds left until `deadline`; -1 for none.
int Remaining(bool bounded, Clock::time_point deadline) {
    if (!bounded) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Data already waiting wins over the wake-up, so a call that arrived is served.
Ready WaitFor(int fd, short events, int wakeFd, bool bounded, Clock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, Remaining(bounded, deadline));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Ready::Broken;
        }
        if (n == 0) return Ready::TimedOut;
        if ((fds[0].revents & (events | POLLHUP | POLLERR)) != 0) return Ready::Yes;
        if ((fds[0].revents & POLLNVAL) != 0) return Ready::Broken;
        if (wakeFd >= 0 && fds[1].revents != 0) return Ready::Woken;
    }
}

FrameResult FromReady(Ready ready) {
    return ready == Ready::TimedOut ? FrameResult::TimedOut
           : ready == Ready::Woken  ? FrameResult::Woken
                                    : FrameResult::Closed;
}

FrameResult ReadExact(int fd, char* buffer, size_t size, int wakeFd, bool bounded, Clock::time_point deadline,
                      size_t& done) {
    done = 0;
    while (done < size) {
        ssize_t n = ::recv(fd, buffer + done, size - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return FrameResult::Closed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return FrameResult::Closed;
        Ready ready = WaitFor(fd, POLLIN, wakeFd, bounded, deadline);
        if (ready != Ready::Yes) return FromReady(ready);
    }
    return FrameResult::Ok;
}

}  // namespace

const char* FrameResultText(FrameResult result) {
    switch (result) {
        case FrameResult::Ok: return "complete";
        case FrameResult::Closed: return "connection closed";
        case FrameResult::Truncated: return "connection closed inside a frame";
        case FrameResult::TimedOut: return "timed out";
        case FrameResult::Woken: return "server stopping";
        case FrameResult::TooLarge: return "frame over 16 MiB";
    }
    return "?";
}

FrameResult ReadFrame(int fd, std::string& payload, int wakeFd, int idleMs, int bodyMs) {
    Ready ready = WaitFor(fd, POLLIN, wakeFd, idleMs >= 0, Clock::now() + std::chrono::milliseconds(idleMs));
    if (ready != Ready::Yes) return FromReady(ready);
    const auto deadline = Clock::now() + std::chrono::milliseconds(bodyMs);
    unsigned char header[4];
    size_t got = 0;
    FrameResult result = ReadExact(fd, reinterpret_cast<char*>(header), sizeof header, wakeFd, true, deadline, got);
    // A close after part of a header cuts a frame short; before it, it is a plain close.
    if (result == FrameResult::Closed && got > 0) return FrameResult::Truncated;
    if (result != FrameResult::Ok) return result;
    const uint32_t length = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                            static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
    if (length > kMaxFrameBytes) return FrameResult::TooLarge;
    payload.assign(length, '\0');
    result = ReadExact(fd, payload.data(), length, wakeFd, true, deadline, got);
    return result == FrameResult::Closed ? FrameResult::Truncated : result;
}

FrameResult WriteFrame(int fd, const std::string& payload, int timeoutMs) {
    if (payload.size() > kMaxFrameBytes) return FrameResult::TooLarge;
    const uint32_t length = static_cast<uint32_t>(payload.size());
    std::string frame;
    frame.reserve(4 + payload.size());
    for (int shift = 0; shift < 32; shift += 8) frame += static_cast<char>((length >> shift) & 0xFF);
    frame += payload;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return FrameResult::Closed;
        Ready ready = WaitFor(fd, POLLOUT, -1, true, deadline);
        if (ready != Ready::Yes) return FromReady(ready);
    }
    return FrameResult::Ok;
}

}  // namespace korvel_remoting

std::string KorvelProviderSocketPath() {
    const char* path = std::getenv("KORVEL_PROVIDER_SOCKET");
    return path != nullptr && *path != '\0' ? path : "/run/korvel/KorvelProvider.sock";
}
