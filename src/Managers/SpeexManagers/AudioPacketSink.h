#pragma once

#include "varenstt/Platform/Data.h"

namespace varen {

// Where the encoding loop hands each Speex packet as soon as it is encoded: the recognition
// stream client in a recording run. The encoder knows no more of the connection than this.
class AudioPacketSink {
  public:
    virtual ~AudioPacketSink() = default;
    // One packet, in encoding order; runs on the encoding operation's thread.
    virtual void sendAudioData(const Data& packet) = 0;
};

}  // namespace varen
