// What the process holds in memory, and a budget that admits sessions against a limit.
#pragma once

#include <cstdint>
#include <functional>

namespace varen::server {

// The process's resident set, in bytes (0 when it cannot be read).
std::uint64_t residentBytes();
// The machine's physical memory, in bytes.
std::uint64_t physicalMemoryBytes();
// Gives memory the allocator keeps after large frees back to the system, so that the resident
// set shrinks when sessions end.
void returnFreedMemory();

// Admits sessions while the process's resident set, plus what admitted sessions have yet to
// allocate, stays within a limit.
//
// Thread safety: none; the network thread owns it.
class MemoryBudget {
  public:
    explicit MemoryBudget(std::uint64_t limit,
                          std::function<std::uint64_t()> resident = residentBytes)
        : limit_(limit), resident_(std::move(resident)) {}

    // Sets `bytes` aside for a session about to allocate them; false when that would pass the
    // limit.
    bool reserve(std::uint64_t bytes);
    // The session has allocated what it set aside, or has ended.
    void release(std::uint64_t bytes);

  private:
    std::uint64_t limit_;
    std::function<std::uint64_t()> resident_;
    std::uint64_t reserved_ = 0;
};

}  // namespace varen::server
