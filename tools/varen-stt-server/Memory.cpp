#include "Memory.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace varen::server {

std::uint64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    if (!(statm >> size >> resident)) return 0;
    return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

std::uint64_t physicalMemoryBytes() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

void returnFreedMemory() {
    malloc_trim(0);
}

bool MemoryBudget::reserve(std::uint64_t bytes) {
    if (resident_() + reserved_ + bytes > limit_) return false;
    reserved_ += bytes;
    return true;
}

void MemoryBudget::release(std::uint64_t bytes) {
    reserved_ -= std::min(bytes, reserved_);
}

}  // namespace varen::server
