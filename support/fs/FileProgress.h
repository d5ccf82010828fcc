#pragma once

#include <cstdint>
#include <functional>

namespace kavrin {

// Told how far a whole-file read or write has come: `done` of `total` bytes. It may pump the user
// interface, and it may throw to abort the transfer: the back end stops, closes what it opened and
// lets the exception reach the caller unchanged (an aborted write may leave part of the file).
// The figures never go back; a back end that waits with nothing moved (PosixFileSystem: the final
// flush of a durable write) tells the same figures again every few tens of milliseconds meanwhile.
using FileProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

}  // namespace kavrin
