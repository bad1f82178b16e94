// What the socket's source files share: the bounds of one read and of a drain, and the millisecond clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace maildig {

constexpr int32_t kMaxChunk = 65536;
// How much DrainInput and the plain-text discard before a handshake read at most.
constexpr size_t kMaxDrainBytes = 1024 * 1024;

using Clock = std::chrono::steady_clock;

inline int64_t ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

} // namespace maildig
