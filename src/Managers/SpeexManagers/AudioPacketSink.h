#pragma once

#include <vector>

#include "varenstt/Platform/Data.h"

namespace varen {

// Where the encoding loop hands its Speex packets, a capture buffer's worth at most as soon as
// they are encoded: the recognition stream client in a recording run. The encoder knows no more
// of the connection than this.
class AudioPacketSink {
  public:
    virtual ~AudioPacketSink() = default;
    // One packet, in encoding order; runs on the encoding operation's thread.
    virtual void sendAudioData(const Data& packet) = 0;
    // Packets encoded together, in encoding order: each as `sendAudioData`, free to leave
    // together.
    virtual void sendAudioBurst(const std::vector<Data>& packets) {
        for (const Data& packet : packets) sendAudioData(packet);
    }
};

}  // namespace varen
