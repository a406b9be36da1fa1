// Feeds arbitrary bytes, as a file, to the Ogg Speex decoder of the file input, and decodes
// whatever it accepts to the end: a damaged recording must end the audio, never the process.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Platform/Audio/PcmFileDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create("ogg-speex", 0);
    if (fd < 0) std::abort();
    for (std::size_t written = 0; written < size;) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n <= 0) std::abort();
        written += std::size_t(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (auto decoder = varen::platform::openOggSpeexDecoder(path)) {
        std::vector<std::int16_t> block;
        std::uint64_t produced = 0;
        while ((*decoder)->decodeNext(block)) {
            produced += block.size();
            // At most what the file's packets can hold: ten frames of at most 640 samples each.
            if (block.size() > 10 * 640) std::abort();
        }
        if (const auto length = (*decoder)->length(); length && produced > *length) std::abort();
    }
    close(fd);
    return 0;
}
