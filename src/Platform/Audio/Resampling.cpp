#include "Platform/Audio/Resampling.h"

#include <iterator>

namespace varen::platform {

std::size_t appendResampled(SpeexResamplerState* resampler, const std::int16_t* input,
                            std::size_t count, std::vector<std::int16_t>& out) {
    const std::size_t before = out.size();
    if (!resampler) {
        out.insert(out.end(), input, input + count);
        return count;
    }
    while (count > 0) {
        spx_uint32_t inLength = spx_uint32_t(count);
        std::int16_t block[4096];
        spx_uint32_t outLength = std::size(block);
        speex_resampler_process_int(resampler, 0, input, &inLength, block, &outLength);
        out.insert(out.end(), block, block + outLength);
        input += inLength;
        count -= inLength;
        if (inLength == 0 && outLength == 0) break;
    }
    return out.size() - before;
}

}  // namespace varen::platform
