#pragma once

#include <filesystem>

namespace varen::platform {

// The user's documents folder: XDG_DOCUMENTS_DIR from user-dirs.dirs, else $HOME/Documents.
std::filesystem::path documentsDirectory();

}  // namespace varen::platform
