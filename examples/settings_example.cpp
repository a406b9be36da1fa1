// Sets the recognition settings on the shared manager and shows the service URL they give.
#include <varenstt/VarenSTT.h>

#include <iostream>

int main() {
    auto manager = varen::VarenSTTManager::shared();
    manager->setApiKey("my key");
    manager->setLanguageModel("en-US_8k_digits");
    manager->setMaxResults(3);
    manager->setMinSilence(1.0f);

    auto url = manager->serviceURL();
    std::cout << "VarenSTT " << varen::VarenSTTVersionNumber << "\n"
              << "decoder URL:  " << manager->decoderUrl() << "\n"
              << "service URL:  " << (url ? url->absoluteString() : "(does not parse)") << "\n"
              << "alternatives: " << manager->maxResults() << "\n"
              << "min silence:  " << manager->minSilence() << " s\n";
    return url ? 0 : 1;
}
