// varen-stt over several files: each its own recognition, a few at a time.
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

#include "varenstt/Recognizer.h"

namespace varen::tools {

struct BatchSettings {
    varen::RecognizerOptions recognizer;
    std::vector<std::filesystem::path> inputs;
    std::size_t jobs = 1;
    double speed = 1.0;
    bool json = false;
};

// Recognises every input, `jobs` at a time, on the main run loop, showing the events as JSON
// lines (each with its "input") or as one status line per file in progress and one result line
// per file. 0 when every file got a final result, else 1.
int runBatch(const BatchSettings& settings);

}  // namespace varen::tools
