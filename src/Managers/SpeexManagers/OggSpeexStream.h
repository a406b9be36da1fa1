#pragma once

#include <ogg/ogg.h>
#include <speex/speex_header.h>

#include <cstdint>
#include <optional>
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

// The file of one recording: created exclusively, mode 0600, never through a symbolic link, and
// written through one descriptor for the whole run, so that nothing swapped in at its path
// mid-run can redirect the audio.
//
// Thread safety: none; used by one thread at a time.
class RecordingFile {
  public:
    // Creates `path`, or when that name is taken the first free "<stem>-1.spx", "<stem>-2.spx",
    // ... beside it. None when no file can be created there.
    static std::optional<RecordingFile> create(const std::string& path);
    // `create`, then closes the empty file at once: the name is held for a later run.
    static std::string reserve(const std::string& path);

    RecordingFile(RecordingFile&& other) noexcept;
    RecordingFile& operator=(RecordingFile&& other) noexcept;
    ~RecordingFile();

    const std::string& path() const { return path_; }
    // Appends all the bytes; false when the system refused some of them.
    bool append(const Data& bytes);

  private:
    RecordingFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    std::string path_;
};

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
