#pragma once

#include <speex/speex_resampler.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varen::platform {

// Appends `count` mono samples to `out`, through `resampler` when there is one (otherwise as
// they are); returns how many samples were appended.
std::size_t appendResampled(SpeexResamplerState* resampler, const std::int16_t* input,
                            std::size_t count, std::vector<std::int16_t>& out);

}  // namespace varen::platform
