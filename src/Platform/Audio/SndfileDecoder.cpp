#include <sndfile.h>

#include "Platform/Audio/PcmFileDecoder.h"
#include "Platform/Audio/SharedLibrary.h"

namespace varen::platform {

namespace {

constexpr sf_count_t kReadFrames = 2048;

// The library's calls, bound at the first file.
struct Sndfile {
    decltype(&sf_open) open;
    decltype(&sf_close) close;
    decltype(&sf_readf_short) readShortFrames;
    decltype(&sf_error) error;
    decltype(&sf_strerror) describe;
};

void bindSndfile(SharedLibrary& library, Sndfile& sf) {
    library.bind(sf.open, "sf_open");
    library.bind(sf.close, "sf_close");
    library.bind(sf.readShortFrames, "sf_readf_short");
    library.bind(sf.error, "sf_error");
    library.bind(sf.describe, "sf_strerror");
}

const LoadedCalls<Sndfile>& sndfile() {
    static const LoadedCalls<Sndfile> loaded("libsndfile.so.1", &bindSndfile);
    return loaded;
}

class SndfileDecoder final : public PcmFileDecoder {
  public:
    SndfileDecoder(const Sndfile& sf, SNDFILE* file, const SF_INFO& info)
        : sf_(sf), file_(file), info_(info) {}
    ~SndfileDecoder() override { sf_.close(file_); }
    SndfileDecoder(const SndfileDecoder&) = delete;
    SndfileDecoder& operator=(const SndfileDecoder&) = delete;

    std::uint32_t sampleRate() const override { return std::uint32_t(info_.samplerate); }

    std::optional<std::uint64_t> length() const override {
        if (info_.frames <= 0 || info_.frames == SF_COUNT_MAX) return std::nullopt;
        return std::uint64_t(info_.frames);
    }

    bool decodeNext(std::vector<std::int16_t>& block) override {
        block.clear();
        const auto channels = std::size_t(info_.channels);
        interleaved_.resize(std::size_t(kReadFrames) * channels);
        const sf_count_t frames = sf_.readShortFrames(file_, interleaved_.data(), kReadFrames);
        if (frames <= 0) {
            if (sf_.error(file_) != SF_ERR_NO_ERROR) fault_ = sf_.describe(file_);
            return false;
        }
        block.resize(std::size_t(frames));
        for (std::size_t f = 0; f < block.size(); ++f) {
            std::int32_t sum = 0;
            for (std::size_t c = 0; c < channels; ++c) sum += interleaved_[f * channels + c];
            block[f] = std::int16_t(sum / std::int32_t(channels));
        }
        return true;
    }

    const std::string& fault() const override { return fault_; }

  private:
    const Sndfile& sf_;
    SNDFILE* const file_;
    const SF_INFO info_;
    std::vector<std::int16_t> interleaved_;
    std::string fault_;
};

}  // namespace

MadePcmFileDecoder openSndfileDecoder(const std::filesystem::path& path) {
    const Sndfile* sf = sndfile().get();
    if (!sf) return sndfile().library().failure();
    SF_INFO info{};
    SNDFILE* file = sf->open(path.c_str(), SFM_READ, &info);
    if (!file) return std::string(sf->describe(nullptr));
    if (info.channels < 1 || info.samplerate < 1) {
        sf->close(file);
        return std::string("no audio channels");
    }
    return std::unique_ptr<PcmFileDecoder>(std::make_unique<SndfileDecoder>(*sf, file, info));
}

}  // namespace varen::platform
