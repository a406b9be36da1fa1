#include "varenstt/VarenSTTManager.h"

#include "Platform/Runtime.h"
#include "Public/VarenSTTManagerBridge.h"

namespace varen {

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
    return recognitionServiceURL(decoderUrl_, apiKey_, languageModel_);
}

}  // namespace varen
