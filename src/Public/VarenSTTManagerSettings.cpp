#include "varenstt/VarenSTTManager.h"

#include "Platform/Runtime.h"
#include "Public/VarenSTTManagerBridge.h"

namespace varen {

namespace {

// The reference recognition server listens here by default.
constexpr const char* kDefaultDecoderUrl = "ws://localhost:8390/ws/client/speech";

}  // namespace

std::shared_ptr<VarenSTTManager> VarenSTTManager::shared() {
    static const char key = 0;
    return platform::Runtime::current()->shared<VarenSTTManager>(
        &key, [] { return std::make_shared<VarenSTTManager>(); });
}

VarenSTTManager::VarenSTTManager()
    : decoderUrl_(kDefaultDecoderUrl),
      prompt_("Parla ora"),
      maxResults_(1),
      minSilence_(2.0f),
      languageModel_("it-IT_8k"),
      bridge_(std::make_unique<DelegateBridge>(*this)) {}

VarenSTTManager::~VarenSTTManager() = default;

const bool VarenSTTManager::DelegateBridge::sharedSettingsInstalled = [] {
    setRecognitionSettingsSource(&DelegateBridge::sharedManagerSettings);
    return true;
}();

std::optional<URL> VarenSTTManager::serviceURL() const {
    // Escaped so that a key or model with "&", "#" or a blank can neither add query parameters
    // nor make the whole URL unparsable.
    const std::string joined = decoderUrl_ + "?key=" + percentEncodeUnreserved(apiKey_) +
                               "&model=" + percentEncodeUnreserved(languageModel_);
    return URL::URLWithString(joined);
}

}  // namespace varen
