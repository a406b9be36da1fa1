#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "varenstt/Platform/Error.h"
#include "varenstt/Platform/UIViewController.h"

namespace varen::platform::ui {

// The objects of one layout resource, built but not yet connected to a controller.
struct LayoutContents {
    std::shared_ptr<View> root;
    std::map<std::string, LayoutObject> objects;  // by id
    std::map<std::string, std::string> outlets;   // outlet name -> object id
    std::vector<std::shared_ptr<TapGestureRecognizer>> recognizers;
};

struct LayoutLoad {
    std::optional<LayoutContents> contents;
    std::optional<Error> error;  // set exactly when contents is not
};

// Where resources are looked for, in order: only $VARENSTT_RESOURCE_DIR when it is set, else the
// install folder, then the source tree's resource folder.
std::vector<std::filesystem::path> layoutResourceFolders();

// Builds the objects described by the text of the resource `name`.
LayoutLoad parseLayoutResource(const std::string& name, std::string_view text);

// Finds "<name>.json" in the resource folders, reads and parses it.
LayoutLoad loadLayoutResource(const std::string& name);

// Resources larger than this are refused unread.
inline constexpr std::uintmax_t maxLayoutResourceSize = 1024 * 1024;

}  // namespace varen::platform::ui
