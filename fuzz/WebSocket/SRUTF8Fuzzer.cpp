// The incremental UTF-8 check against a plain reference decoder: fed the input in two pieces
// the way a message arrives, it must accept exactly the well-formed texts and must never
// count bytes that are not valid.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "WebSocket/SRUTF8.h"

namespace {

// Decodes code points the long way and checks the ranges (RFC 3629).
bool referenceValid(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = p[i];
        std::size_t len;
        std::uint32_t cp;
        if (b < 0x80) {
            len = 1;
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool expected = referenceValid(data, size);
    if (varen::SRIsValidUTF8(data, size) != expected) std::abort();

    // As a message would arrive: the check over the first part, then over what is unchecked.
    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    std::size_t position = 0;
    bool failed = false;
    for (std::size_t end : {cut, size}) {
        const auto valid = varen::SRValidUTF8PrefixLength(data + position, end - position);
        if (!valid) {
            failed = true;
            break;
        }
        if (*valid > end - position) std::abort();
        // What it counts as valid must be valid.
        if (!referenceValid(data + position, *valid)) std::abort();
        position += *valid;
    }
    // A well-formed text is never rejected on the way; the final check decides the rest.
    if (expected && failed) std::abort();
    if (!failed && position == size && !expected) std::abort();
    return 0;
}
