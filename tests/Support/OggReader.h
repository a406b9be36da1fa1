#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "varenstt/Platform/Data.h"

namespace varen::test {

// One page of an Ogg bitstream, as found in the bytes.
struct OggPage {
    std::size_t offset = 0;  // where the page starts in the stream
    std::size_t size = 0;    // header, lacing and body
    std::uint8_t headerType = 0;
    std::int64_t granulePosition = 0;
    std::uint32_t serialNumber = 0;
    std::uint32_t sequenceNumber = 0;
    bool checksumValid = false;
    std::vector<std::uint8_t> lacing;
    Data body;

    bool continued() const { return (headerType & 0x01) != 0; }
    bool beginningOfStream() const { return (headerType & 0x02) != 0; }
    bool endOfStream() const { return (headerType & 0x04) != 0; }
};

// One packet reassembled from the lacing values.
struct OggPacket {
    Data bytes;
    std::size_t page = 0;  // the page on which the packet ends
};

struct OggStreamContents {
    std::vector<OggPage> pages;
    std::vector<OggPacket> packets;
    std::string error;  // empty when every byte belonged to a whole, well-formed page
};

// Parses a whole stream, checking capture pattern, version and CRC of every page; stops at the
// first malformed or truncated page and says why in `error`.
OggStreamContents readOggStream(const Data& bytes);

// The Ogg page checksum (CRC-32, polynomial 0x04c11db7, no reflection, initial value 0).
std::uint32_t oggChecksum(const std::uint8_t* bytes, std::size_t length);

}  // namespace varen::test
