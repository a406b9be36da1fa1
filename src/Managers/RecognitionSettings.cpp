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

std::optional<URL> recognitionServiceURL(const std::string& decoderUrl, const std::string& apiKey,
                                         const std::string& model) {
    return URL::URLWithString(decoderUrl + "?key=" + percentEncodeUnreserved(apiKey) +
                              "&model=" + percentEncodeUnreserved(model));
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
