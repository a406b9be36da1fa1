#include "WebSocket/SRUTF8.h"

#include <cstring>
#include <optional>

namespace varen {
namespace {

// What a lead byte asks of the bytes after it (Unicode Table 3-7): how many follow, and the
// range the first of them must fall in, which rules out overlong forms, surrogates and code
// points above U+10FFFF. The later ones are always 80..BF.
struct SequenceShape {
    std::size_t continuationBytes = 0;
    std::uint8_t firstLow = 0x80;
    std::uint8_t firstHigh = 0xBF;
};

// None for a byte that cannot lead a multi-byte sequence.
std::optional<SequenceShape> shapeOfLead(std::uint8_t b) {
    if (b >= 0xC2 && b <= 0xDF) return SequenceShape{1};
    if (b >= 0xE0 && b <= 0xEF) {
        return SequenceShape{2, std::uint8_t(b == 0xE0 ? 0xA0 : 0x80),
                             std::uint8_t(b == 0xED ? 0x9F : 0xBF)};
    }
    if (b >= 0xF0 && b <= 0xF4) {
        return SequenceShape{3, std::uint8_t(b == 0xF0 ? 0x90 : 0x80),
                             std::uint8_t(b == 0xF4 ? 0x8F : 0xBF)};
    }
    return std::nullopt;
}

// Length of the well-formed sequence at `p` (at most `n` bytes available); 0 when the
// sequence is ill-formed or cut by the end. `cut` tells the two apart: true when every byte
// present could still begin a well-formed sequence.
std::size_t sequenceLength(const std::uint8_t* p, std::size_t n, bool& cut) {
    cut = false;
    if (p[0] < 0x80) return 1;
    const auto shape = shapeOfLead(p[0]);
    if (!shape) return 0;
    for (std::size_t i = 1; i <= shape->continuationBytes; ++i) {
        if (i >= n) {
            cut = true;
            return 0;
        }
        const std::uint8_t low = i == 1 ? shape->firstLow : 0x80;
        const std::uint8_t high = i == 1 ? shape->firstHigh : 0xBF;
        if (p[i] < low || p[i] > high) return 0;
    }
    return shape->continuationBytes + 1;
}

// Bytes of pure ASCII at the start, eight at a time where possible.
std::size_t asciiPrefix(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

}  // namespace

bool SRIsValidUTF8(const std::uint8_t* bytes, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        i += asciiPrefix(bytes + i, length - i);
        if (i == length) break;
        bool cut;
        const std::size_t len = sequenceLength(bytes + i, length - i, cut);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::optional<std::size_t> SRValidUTF8PrefixLength(const std::uint8_t* bytes, std::size_t length) {
    if (length >= (std::size_t{1} << 31)) return std::nullopt;
    std::size_t i = 0;
    while (i < length) {
        i += asciiPrefix(bytes + i, length - i);
        if (i == length) break;
        bool cut;
        const std::size_t len = sequenceLength(bytes + i, length - i, cut);
        if (len != 0) {
            i += len;
            continue;
        }
        const std::uint8_t b = bytes[i];
        if ((b >= 0x80 && b <= 0xC1) || b >= 0xF5) return std::nullopt;
        const std::size_t announced = b <= 0xDF ? 1 : (b <= 0xEF ? 2 : 3);
        // The whole announced sequence fitted inside the tail, so it is broken, not cut.
        if (i + announced < length) return std::nullopt;
        // A cut sequence waits for the rest of the message; only its first byte decides, the
        // bytes present must merely be continuation bytes (the final check rejects the rest).
        for (std::size_t k = i + 1; k < length; ++k) {
            if (bytes[k] < 0x80 || bytes[k] > 0xBF) return std::nullopt;
        }
        return i;
    }
    return length;
}

}  // namespace varen
