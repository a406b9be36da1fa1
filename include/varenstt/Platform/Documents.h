#pragma once

#include <filesystem>

#include "varenstt/Export.h"

namespace varen::platform {

// The user's documents folder: XDG_DOCUMENTS_DIR from user-dirs.dirs, else $HOME/Documents.
VARENSTT_API std::filesystem::path documentsDirectory();

}  // namespace varen::platform
