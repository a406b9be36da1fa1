#include <ogg/ogg.h>
#include <speex/speex.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Platform/Audio/PcmFileDecoder.h"

namespace varen::platform {

namespace {

constexpr char kSpeexMagic[] = "Speex   ";
constexpr std::size_t kMagicSize = sizeof kSpeexMagic - 1;
constexpr long kHeaderPacketSize = 80;
constexpr long kReadSize = 4096;
// A page is at most 65307 bytes, so the last whole one starts within this distance of the end.
constexpr long kTailSize = 65536;
// Ten frames at the highest rate take about 1 KiB; anything far larger is damage.
constexpr long kMaxPacketBytes = 16384;
constexpr std::int32_t kMaxFramesPerPacket = 10;
constexpr std::int32_t kMaxExtraHeaders = 16;
constexpr std::int32_t kMinRate = 6000;
constexpr std::int32_t kMaxRate = 48000;

std::int32_t int32At(const unsigned char* bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t(bytes[offset + i]) << (8 * i);
    return std::int32_t(value);
}

// Reads pages with libogg and decodes the packets of the first logical stream with libspeex.
// A stereo stream is a mono mix plus in-band side information, which the decoder steps over
// when no handler asks for it: the decoded signal is that mix.
class OggSpeexDecoder final : public PcmFileDecoder {
  public:
    explicit OggSpeexDecoder(std::FILE* file) : file_(file) {
        ogg_sync_init(&sync_);
        speex_bits_init(&bits_);
    }

    ~OggSpeexDecoder() override {
        if (decoder_) speex_decoder_destroy(decoder_);
        speex_bits_destroy(&bits_);
        if (streamStarted_) ogg_stream_clear(&stream_);
        ogg_sync_clear(&sync_);
        std::fclose(file_);
    }

    OggSpeexDecoder(const OggSpeexDecoder&) = delete;
    OggSpeexDecoder& operator=(const OggSpeexDecoder&) = delete;

    // Reads the header packets and finds the length; the reason when the file is not usable.
    std::optional<std::string> readHeaders() {
        ogg_page page;
        if (!nextPage(page)) return "no Speex header: " + faultOr("the file is empty");
        serial_ = ogg_page_serialno(&page);
        ogg_stream_init(&stream_, serial_);
        streamStarted_ = true;
        if (ogg_stream_pagein(&stream_, &page) != 0) return std::string("malformed first Ogg page");

        ogg_packet packet;
        if (!nextPacket(packet)) return "no Speex header: " + faultOr("the first page is empty");
        if (!packet.b_o_s || packet.bytes < kHeaderPacketSize ||
            std::memcmp(packet.packet, kSpeexMagic, kMagicSize) != 0) {
            return std::string("the first Ogg packet is no Speex header");
        }
        if (auto invalid = configure(packet.packet)) return invalid;
        // The comment, then any extra headers the stream declares.
        for (std::int32_t i = 0; i < 1 + extraHeaders_; ++i) {
            if (!nextPacket(packet)) {
                return "truncated Speex headers: " + faultOr("the file ends before the audio");
            }
        }
        length_ = lastGranulePosition();
        decoding_ = true;
        return std::nullopt;
    }

    std::uint32_t sampleRate() const override { return rate_; }
    std::optional<std::uint64_t> length() const override { return length_; }
    const std::string& fault() const override { return fault_; }

    bool decodeNext(std::vector<std::int16_t>& block) override {
        block.clear();
        ogg_packet packet;
        if (ended_ || !nextPacket(packet)) return end();
        if (packet.bytes > kMaxPacketBytes) return fail("oversized Speex packet");
        speex_bits_read_from(&bits_, reinterpret_cast<char*>(packet.packet), int(packet.bytes));
        for (std::int32_t f = 0; f < framesPerPacket_; ++f) {
            const std::size_t at = block.size();
            block.resize(at + std::size_t(frameSize_));
            const int result = speex_decode_int(decoder_, &bits_, block.data() + at);
            // -1: the packet holds fewer frames than the header says, which encoders may do.
            if (result == -1) {
                block.resize(at);
                break;
            }
            if (result != 0 || speex_bits_remaining(&bits_) < 0) {
                block.clear();
                return fail("corrupt Speex packet");
            }
        }
        // The last page's granule position tells the true length; the rest is padding.
        if (length_) {
            const std::uint64_t left = *length_ - std::min(*length_, produced_);
            if (block.size() >= left) {
                block.resize(std::size_t(left));
                ended_ = true;
            }
        }
        produced_ += block.size();
        return true;
    }

  private:
    std::optional<std::string> configure(const unsigned char* header) {
        const std::int32_t rate = int32At(header, 36);
        const std::int32_t mode = int32At(header, 40);
        const std::int32_t channels = int32At(header, 48);
        const std::int32_t framesPerPacket = int32At(header, 64);
        const std::int32_t extraHeaders = int32At(header, 68);
        if (mode < 0 || mode >= SPEEX_NB_MODES) {
            return "unknown Speex mode " + std::to_string(mode);
        }
        if (channels != 1 && channels != 2) {
            return std::to_string(channels) + " channels; only mono and stereo are supported";
        }
        if (rate < kMinRate || rate > kMaxRate) {
            return "unsupported sample rate " + std::to_string(rate);
        }
        if (framesPerPacket < 1 || framesPerPacket > kMaxFramesPerPacket) {
            return "invalid count of frames per packet " + std::to_string(framesPerPacket);
        }
        if (extraHeaders < 0 || extraHeaders > kMaxExtraHeaders) {
            return "invalid count of extra headers " + std::to_string(extraHeaders);
        }
        decoder_ = speex_decoder_init(speex_lib_get_mode(mode));
        if (!decoder_) return std::string("the Speex decoder cannot start");
        speex_decoder_ctl(decoder_, SPEEX_GET_FRAME_SIZE, &frameSize_);
        if (frameSize_ <= 0) return std::string("the Speex decoder has no frame size");
        std::int32_t decoderRate = rate;
        speex_decoder_ctl(decoder_, SPEEX_SET_SAMPLING_RATE, &decoderRate);
        rate_ = std::uint32_t(rate);
        framesPerPacket_ = framesPerPacket;
        extraHeaders_ = extraHeaders;
        return std::nullopt;
    }

    // The next packet of the stream; false at its end, with `fault_` set when that came early.
    bool nextPacket(ogg_packet& packet) {
        for (;;) {
            const int result = ogg_stream_packetout(&stream_, &packet);
            if (result == 1) return true;
            if (result < 0) return fail("an Ogg page is missing");
            if (streamEnded_) return false;
            ogg_page page;
            if (!nextPage(page)) return false;
            // Pages of other logical streams are not ours to decode.
            if (ogg_page_serialno(&page) != serial_) continue;
            if (ogg_stream_pagein(&stream_, &page) != 0) return fail("malformed Ogg page");
            streamEnded_ = ogg_page_eos(&page) != 0;
        }
    }

    bool nextPage(ogg_page& page) {
        for (;;) {
            const int result = ogg_sync_pageout(&sync_, &page);
            if (result == 1) return true;
            if (result < 0) return fail("corrupt Ogg page");
            char* buffer = ogg_sync_buffer(&sync_, kReadSize);
            if (!buffer) return fail("out of memory");
            const std::size_t read = std::fread(buffer, 1, std::size_t(kReadSize), file_);
            ogg_sync_wrote(&sync_, long(read));
            if (read > 0) continue;
            if (std::ferror(file_)) return fail(std::string("read error: ") + std::strerror(errno));
            if (sync_.fill > sync_.returned) return fail("the file ends inside an Ogg page");
            return false;
        }
    }

    // The granule position of the stream's last whole page: the count of samples it holds.
    // Read from the end of the file, which is then read again from where it was.
    std::optional<std::uint64_t> lastGranulePosition() {
        const long resume = std::ftell(file_);
        if (resume < 0 || std::fseek(file_, 0, SEEK_END) != 0) return std::nullopt;
        const long size = std::ftell(file_);
        std::optional<std::uint64_t> last;
        ogg_sync_state tail;
        ogg_sync_init(&tail);
        char* buffer = ogg_sync_buffer(&tail, kTailSize);
        const long start = std::max(0L, size - kTailSize);
        if (buffer && size >= 0 && std::fseek(file_, start, SEEK_SET) == 0) {
            const std::size_t read = std::fread(buffer, 1, std::size_t(size - start), file_);
            ogg_sync_wrote(&tail, long(read));
            ogg_page page;
            while (int result = ogg_sync_pageout(&tail, &page)) {
                if (result < 0 || ogg_page_serialno(&page) != serial_) continue;
                if (ogg_page_granulepos(&page) >= 0) {
                    last = std::uint64_t(ogg_page_granulepos(&page));
                }
            }
        }
        ogg_sync_clear(&tail);
        std::clearerr(file_);
        if (std::fseek(file_, resume, SEEK_SET) != 0) return std::nullopt;
        return last;
    }

    std::string faultOr(const char* reason) const { return fault_.empty() ? reason : fault_; }

    // Ends the audio for a reason; mid-file, noting how much came before it.
    bool fail(std::string reason) {
        if (fault_.empty()) {
            fault_ = std::move(reason);
            if (decoding_) {
                char at[64];
                std::snprintf(at, sizeof at, " after %.2f s of audio", double(produced_) / rate_);
                fault_ += at;
            }
        }
        return end();
    }

    bool end() {
        ended_ = true;
        return false;
    }

    std::FILE* const file_;
    ogg_sync_state sync_{};
    ogg_stream_state stream_{};
    bool streamStarted_ = false;
    bool streamEnded_ = false;
    int serial_ = 0;

    void* decoder_ = nullptr;
    SpeexBits bits_{};
    std::int32_t frameSize_ = 0;
    std::int32_t framesPerPacket_ = 1;
    std::int32_t extraHeaders_ = 0;
    std::uint32_t rate_ = 0;

    std::optional<std::uint64_t> length_;
    bool decoding_ = false;
    std::uint64_t produced_ = 0;
    bool ended_ = false;
    std::string fault_;
};

}  // namespace

bool isOggSpeexFile(const std::filesystem::path& path) {
    // The page header (27 bytes), up to 255 lacing values, then the first packet's start.
    std::array<unsigned char, 27 + 255 + kMagicSize> start{};
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (!file) return false;
    const std::size_t read = std::fread(start.data(), 1, start.size(), file);
    std::fclose(file);
    if (read < 27 || std::memcmp(start.data(), "OggS", 4) != 0 || start[4] != 0) return false;
    const std::size_t segments = start[26];
    const std::size_t body = 27 + segments;
    // A first lacing value below the magic's size ends the first packet before it could hold it.
    return segments > 0 && start[27] >= kMagicSize && read >= body + kMagicSize &&
           std::memcmp(start.data() + body, kSpeexMagic, kMagicSize) == 0;
}

MadePcmFileDecoder openOggSpeexDecoder(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (!file) return std::string(std::strerror(errno));
    auto decoder = std::make_unique<OggSpeexDecoder>(file);
    if (auto invalid = decoder->readHeaders()) return *invalid;
    return std::unique_ptr<PcmFileDecoder>(std::move(decoder));
}

}  // namespace varen::platform
