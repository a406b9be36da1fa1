#include "varenstt/VarenSTT.h"

namespace varen {

const double VarenSTTVersionNumber = 1.0;
const unsigned char VarenSTTVersionString[] = "@(#)PROGRAM:VarenSTT  PROJECT:VarenSTT-1\n";

}  // namespace varen
