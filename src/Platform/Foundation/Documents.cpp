#include "varenstt/Platform/Documents.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

namespace varen::platform {

namespace {

// Without a home the documents live in a folder of the temporary directory that only this
// process made and only its user can enter; one per process.
std::filesystem::path privateTemporaryFolder() {
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "varenstt-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return std::filesystem::temp_directory_path();
        return std::filesystem::path(pattern);
    }();
    return folder;
}

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return privateTemporaryFolder();
}

// The value of XDG_DOCUMENTS_DIR in user-dirs.dirs: a quoted path, absolute or "$HOME/...".
std::optional<std::filesystem::path> configuredDocuments(const std::filesystem::path& home) {
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
        config = xdg;
    } else {
        config = home / ".config";
    }
    std::ifstream file(config / "user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(file, line)) {
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::nullopt;
        value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) {
            std::string rest = value.substr(5);
            // "$HOME/" alone means the folder is disabled.
            if (rest.empty() || rest == "/") return std::nullopt;
            return home / rest.substr(rest.front() == '/' ? 1 : 0);
        }
        if (!value.empty() && value.front() == '/') return std::filesystem::path(value);
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::filesystem::path documentsDirectory() {
    const auto home = homeDirectory();
    if (auto configured = configuredDocuments(home)) return *configured;
    return home / "Documents";
}

}  // namespace varen::platform
