#pragma once

#include <cstdint>
#include <vector>

namespace varen {

// A byte buffer.
using Data = std::vector<std::uint8_t>;

}  // namespace varen
