#pragma once

#include <ogg/ogg.h>
#include <speex/speex_header.h>

#include <cstdint>
#include <string>

#include "varenstt/Platform/Data.h"

namespace varen {

// The two header packets of an Ogg Speex recording, the stream's serial number and the file name,
// as pure functions of their inputs.

inline constexpr std::size_t kSpeexHeaderPacketSize = 80;
inline constexpr std::size_t kSpeexVersionFieldSize = 20;

// The 80-byte Speex header packet. Only the version text is taken from `libraryHeader`; every
// other field is a fixed constant of the recording format, written little-endian.
Data speexHeaderPacket(const SpeexHeader& libraryHeader);

// The comment packet: vendor length, the vendor text's bytes, and a count of zero user comments.
Data speexCommentPacket(const std::string& vendor);

// A serial number in 0...8887 drawn from a 32-bit random value.
std::int32_t streamSerialNumberFrom(std::uint32_t random);

// "<whole seconds>.spx" of a time in seconds since 1970, rounded to nearest.
std::string recordingFileNameAt(double secondsSince1970);

// Appends the bytes to the file at `path`, creating it when missing. Failures leave the bytes
// out of the file and are otherwise ignored.
void appendToFile(const std::string& path, const Data& bytes);

// One logical Ogg stream being paged.
//
// Thread safety: none; used by one thread at a time.
class OggSpeexStream {
  public:
    explicit OggSpeexStream(std::int32_t serialNumber);
    ~OggSpeexStream();
    OggSpeexStream(const OggSpeexStream&) = delete;
    OggSpeexStream& operator=(const OggSpeexStream&) = delete;

    // Submits one packet; the stream keeps its own copy of the bytes.
    void submit(const Data& packet, bool beginningOfStream, std::int64_t granulePosition,
                std::int64_t packetNumber);

    // Appends the next page (its header, then its body) to `out` and gives true; with `force`
    // whatever is pending makes a page, otherwise only a page the library considers full. Gives
    // false when no page is due.
    bool takePage(bool force, Data& out);

    std::int32_t serialNumber() const { return serialNumber_; }

  private:
    std::int32_t serialNumber_;
    ogg_stream_state oggStreamState_{};
    ogg_page oggPage_{};
};

}  // namespace varen
