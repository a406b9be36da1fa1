#include "Support/OggReader.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace varen::test {

namespace {

constexpr std::size_t kPageHeaderSize = 27;

std::uint64_t readLittleEndian(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int index = count - 1; index >= 0; --index) value = (value << 8) | bytes[index];
    return value;
}

const std::array<std::uint32_t, 256>& checksumTable() {
    static const auto table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t index = 0; index < 256; ++index) {
            std::uint32_t value = index << 24;
            for (int bit = 0; bit < 8; ++bit) {
                value = (value & 0x80000000u) ? (value << 1) ^ 0x04c11db7u : value << 1;
            }
            entries[index] = value;
        }
        return entries;
    }();
    return table;
}

}  // namespace

std::uint32_t oggChecksum(const std::uint8_t* bytes, std::size_t length) {
    const auto& table = checksumTable();
    std::uint32_t crc = 0;
    for (std::size_t index = 0; index < length; ++index) {
        crc = (crc << 8) ^ table[((crc >> 24) & 0xff) ^ bytes[index]];
    }
    return crc;
}

OggStreamContents readOggStream(const Data& bytes) {
    OggStreamContents contents;
    Data pending;  // a packet that continues on the next page
    bool hasPending = false;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t left = bytes.size() - offset;
        const std::uint8_t* start = bytes.data() + offset;
        if (left < kPageHeaderSize) {
            contents.error = "truncated page header at " + std::to_string(offset);
            return contents;
        }
        if (std::memcmp(start, "OggS", 4) != 0) {
            contents.error = "no capture pattern at " + std::to_string(offset);
            return contents;
        }
        if (start[4] != 0) {
            contents.error = "unknown stream structure version at " + std::to_string(offset);
            return contents;
        }
        const std::size_t segments = start[26];
        if (left < kPageHeaderSize + segments) {
            contents.error = "truncated lacing at " + std::to_string(offset);
            return contents;
        }
        std::size_t bodySize = 0;
        for (std::size_t index = 0; index < segments; ++index) bodySize += start[27 + index];
        const std::size_t pageSize = kPageHeaderSize + segments + bodySize;
        if (left < pageSize) {
            contents.error = "truncated body at " + std::to_string(offset);
            return contents;
        }

        OggPage page;
        page.offset = offset;
        page.size = pageSize;
        page.headerType = start[5];
        page.granulePosition = static_cast<std::int64_t>(readLittleEndian(start + 6, 8));
        page.serialNumber = static_cast<std::uint32_t>(readLittleEndian(start + 14, 4));
        page.sequenceNumber = static_cast<std::uint32_t>(readLittleEndian(start + 18, 4));
        const auto stored = static_cast<std::uint32_t>(readLittleEndian(start + 22, 4));
        Data copy(start, start + pageSize);
        for (std::size_t i = 22; i < 26 && i < copy.size(); ++i) copy[i] = 0;  // the CRC field
        page.checksumValid = oggChecksum(copy.data(), copy.size()) == stored;
        page.lacing.assign(start + 27, start + 27 + segments);
        page.body.assign(start + 27 + segments, start + pageSize);

        if (page.continued() != hasPending) {
            contents.error =
                "continuation flag disagrees with the previous page at " + std::to_string(offset);
            return contents;
        }
        std::size_t bodyOffset = 0;
        for (std::uint8_t value : page.lacing) {
            pending.insert(pending.end(), page.body.begin() + static_cast<long>(bodyOffset),
                           page.body.begin() + static_cast<long>(bodyOffset + value));
            bodyOffset += value;
            hasPending = true;
            if (value < 255) {
                contents.packets.push_back({std::move(pending), contents.pages.size()});
                pending.clear();
                hasPending = false;
            }
        }
        contents.pages.push_back(std::move(page));
        offset += pageSize;
    }
    if (hasPending) contents.error = "the last packet is unfinished";
    return contents;
}

}  // namespace varen::test
