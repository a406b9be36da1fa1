#pragma once

#include "WebSocket/SRWebSocketImpl.h"
#include "varenstt/SRWebSocket.h"

namespace varen {

// White-box access to a socket's implementation, for tests and fuzz targets only.
struct SRWebSocketTestAccess {
    using Impl = SRStreamDelegateAdapter::Impl;
    static Impl& impl(SRWebSocket& socket) { return SRStreamDelegateAdapter::implOf(socket); }
};

}  // namespace varen
