#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Result.h"

namespace varen::platform {

// An audio file's content as 16-bit mono PCM at the file's own rate, one block at a time.
//
// Thread safety: none; one thread at a time.
class PcmFileDecoder {
  public:
    virtual ~PcmFileDecoder() = default;

    virtual std::uint32_t sampleRate() const = 0;
    // The length in samples, when the file tells it.
    virtual std::optional<std::uint64_t> length() const = 0;
    // Replaces `block` with the next samples (possibly none); false, with `block` empty, once
    // the audio has ended.
    virtual bool decodeNext(std::vector<std::int16_t>& block) = 0;
    // Why the audio ended before the end of the file; empty while it has not, or when it did not.
    virtual const std::string& fault() const = 0;
};

// A decoder ready to read, or why the file cannot be read (a text without the file's name).
using MadePcmFileDecoder = Result<std::unique_ptr<PcmFileDecoder>, std::string>;

// Whatever libsndfile reads, channels mixed to mono.
MadePcmFileDecoder openSndfileDecoder(const std::filesystem::path& path);

// True when the first Ogg page of the file carries a Speex header packet.
bool isOggSpeexFile(const std::filesystem::path& path);
// An Ogg Speex file, as the library records it or any other Speex encoder writes it.
MadePcmFileDecoder openOggSpeexDecoder(const std::filesystem::path& path);

// The decoder the file's content calls for.
MadePcmFileDecoder openPcmFileDecoder(const std::filesystem::path& path);

}  // namespace varen::platform
