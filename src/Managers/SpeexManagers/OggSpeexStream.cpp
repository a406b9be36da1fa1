#include "Managers/SpeexManagers/OggSpeexStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "Managers/SpeexManagers/AudioFormat.h"

namespace varen {

namespace {

void appendInt32(Data& out, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>((bits >> shift) & 0xff));
    }
}

}  // namespace

Data speexHeaderPacket(const SpeexHeader& libraryHeader) {
    Data packet;
    packet.reserve(kSpeexHeaderPacketSize);
    const char word[] = "Speex   ";
    packet.insert(packet.end(), word, word + 8);

    // The library's text may fill all 20 bytes without a terminator; never read beyond them.
    const auto* version = libraryHeader.speex_version;
    std::size_t versionLength = 0;
    while (versionLength < kSpeexVersionFieldSize && version[versionLength] != '\0') {
        ++versionLength;
    }
    packet.insert(packet.end(), version, version + versionLength);
    packet.resize(8 + kSpeexVersionFieldSize, 0);

    appendInt32(packet, 1);                     // speex_version_id
    appendInt32(packet, 80);                    // header_size
    appendInt32(packet, audio::kSampleRate);    // rate
    appendInt32(packet, audio::kSpeexMode);     // mode
    appendInt32(packet, 4);                     // mode_bitstream_version
    appendInt32(packet, audio::kChannels);      // nb_channels
    appendInt32(packet, -1);                    // bitrate
    appendInt32(packet, audio::kFrameSamples);  // frame_size
    appendInt32(packet, 1);                     // vbr: recorded as 1, as every earlier file has it
    appendInt32(packet, audio::kFramesPerPacket);  // frames_per_packet
    appendInt32(packet, 0);                        // extra_headers
    appendInt32(packet, 0);                        // reserved1
    appendInt32(packet, 0);                        // reserved2
    return packet;
}

Data speexCommentPacket(const std::string& vendor) {
    Data packet;
    packet.reserve(vendor.size() + 8);
    appendInt32(packet, static_cast<std::int32_t>(vendor.size()));
    packet.insert(packet.end(), vendor.begin(), vendor.end());
    appendInt32(packet, 0);
    return packet;
}

std::int32_t streamSerialNumberFrom(std::uint32_t random) {
    return static_cast<std::int32_t>(random % 8888u);
}

std::string recordingFileNameAt(double secondsSince1970) {
    char name[64];
    std::snprintf(name, sizeof name, "%.0f.spx", secondsSince1970);
    return name;
}

namespace {

constexpr int kMaxNameSuffix = 100000;

// "<folder>/<stem>-<n><extension>" for n > 0, the path itself for 0.
std::string numberedPath(const std::string& path, int number) {
    if (number == 0) return path;
    const std::filesystem::path original(path);
    return (original.parent_path() / (original.stem().string() + "-" + std::to_string(number) +
                                      original.extension().string()))
        .string();
}

}  // namespace

std::optional<RecordingFile> RecordingFile::create(const std::string& path) {
    for (int number = 0; number < kMaxNameSuffix; ++number) {
        const std::string candidate = numberedPath(path, number);
        const int fd =
            ::open(candidate.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) return RecordingFile(fd, candidate);
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

std::string RecordingFile::reserve(const std::string& path) {
    const auto file = create(path);
    return file ? file->path() : path;
}

RecordingFile::RecordingFile(RecordingFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

RecordingFile& RecordingFile::operator=(RecordingFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

RecordingFile::~RecordingFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool RecordingFile::append(const Data& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

OggSpeexStream::OggSpeexStream(std::int32_t serialNumber) : serialNumber_(serialNumber) {
    ogg_stream_init(&oggStreamState_, serialNumber);
}

OggSpeexStream::~OggSpeexStream() {
    ogg_stream_clear(&oggStreamState_);
}

void OggSpeexStream::submit(const Data& packet, bool beginningOfStream,
                            std::int64_t granulePosition, std::int64_t packetNumber) {
    ogg_packet op{};
    // libogg copies the bytes and never writes through this pointer.
    op.packet = const_cast<unsigned char*>(packet.data());
    op.bytes = static_cast<long>(packet.size());
    op.b_o_s = beginningOfStream ? 1 : 0;
    op.e_o_s = 0;
    op.granulepos = granulePosition;
    op.packetno = packetNumber;
    ogg_stream_packetin(&oggStreamState_, &op);
}

bool OggSpeexStream::takePage(bool force, Data& out) {
    const int produced = force ? ogg_stream_flush(&oggStreamState_, &oggPage_)
                               : ogg_stream_pageout(&oggStreamState_, &oggPage_);
    if (produced == 0) return false;
    out.insert(out.end(), oggPage_.header, oggPage_.header + oggPage_.header_len);
    out.insert(out.end(), oggPage_.body, oggPage_.body + oggPage_.body_len);
    return true;
}

}  // namespace varen
