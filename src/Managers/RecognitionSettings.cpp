#include "Managers/RecognitionSettings.h"

#include <mutex>

namespace varen {

namespace {

struct SourceSlot {
    std::mutex mutex;
    RecognitionSettingsSource source;
};

// Function-local, so that a source installed by another file's static initialiser finds it.
SourceSlot& slot() {
    static SourceSlot instance;
    return instance;
}

}  // namespace

void setRecognitionSettingsSource(RecognitionSettingsSource source) {
    std::lock_guard lock(slot().mutex);
    slot().source = std::move(source);
}

std::shared_ptr<const RecognitionSettings> recognitionSettings() {
    RecognitionSettingsSource source;
    {
        std::lock_guard lock(slot().mutex);
        source = slot().source;
    }
    return source ? source() : nullptr;
}

}  // namespace varen
