#pragma once

// Umbrella header of the VarenSTT library.

#include "varenstt/VarenSTTHypothesis.h"
#include "varenstt/VarenSTTManager.h"

namespace varen {

// The library's version number (1.0) and version string.
extern const double VarenSTTVersionNumber;
extern const unsigned char VarenSTTVersionString[];

}  // namespace varen
