#pragma once

// Umbrella header of the VarenSTT library.

#include "varenstt/Export.h"
#include "varenstt/Log.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/AudioSession.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/Recognizer.h"
#include "varenstt/Runtime.h"
#include "varenstt/SRURLRequest.h"
#include "varenstt/SRWebSocket.h"
#include "varenstt/VarenSTTHypothesis.h"
#include "varenstt/VarenSTTManager.h"
#include "varenstt/VarenSTTViewController.h"

namespace varen {

// The library's version number (1.0) and version string.
VARENSTT_API extern const double VarenSTTVersionNumber;
VARENSTT_API extern const unsigned char VarenSTTVersionString[];

}  // namespace varen
