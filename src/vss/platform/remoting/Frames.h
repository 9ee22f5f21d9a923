// Length-prefixed frames on a non-blocking stream socket, with deadlines: a
// 4-byte little-endian length, then that many bytes. Nothing here waits
// without a bound except an idle wait that the caller asked for, and that
// one ends when the wake descriptor becomes readable.
#pragma once

#include <cstdint>
#include <string>

namespace korvel_remoting {

// Frames longer than this are refused on both sides.
constexpr uint32_t kMaxFrameBytes = 16u * 1024 * 1024;

enum class FrameResult {
    Ok,
    Closed,     // the peer closed the connection, or it broke
    Truncated,  // the connection ended inside a frame
    TimedOut,   // the deadline passed
    Woken,      // the wake descriptor became readable first
    TooLarge,   // the length is over kMaxFrameBytes
};

const char* FrameResultText(FrameResult result);

// Waits up to idleMs (-1: without bound) for a frame to begin, then up to
// bodyMs for the rest of it. wakeFd may be -1.
FrameResult ReadFrame(int fd, std::string& payload, int wakeFd, int idleMs, int bodyMs);
FrameResult WriteFrame(int fd, const std::string& payload, int timeoutMs);

}  // namespace korvel_remoting
