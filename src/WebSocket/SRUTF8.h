#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace varen {

// True when the bytes are well-formed UTF-8 (RFC 3629; U+0000 allowed, no surrogates, no
// overlong forms, nothing above U+10FFFF).
bool SRIsValidUTF8(const std::uint8_t* bytes, std::size_t length);

// Checks the not yet validated tail of a text message that is still arriving. Returns how many
// leading bytes are valid; a character cut by the end of the tail is left for later (its bytes
// are not counted). None when the tail already holds an ill-formed sequence, or when it is
// 2^31 bytes or longer.
std::optional<std::size_t> SRValidUTF8PrefixLength(const std::uint8_t* bytes, std::size_t length);

}  // namespace varen
