// A host that only knows the installed headers and library.
#include <varenstt/VarenSTT.h>

#include <iostream>

int main() {
    auto manager = varen::VarenSTTManager::shared();
    manager->setApiKey("demo key");
    manager->setLanguageModel("en-US_8k_digits");
    auto url = manager->serviceURL();
    std::cout << "service " << (url ? url->absoluteString() : "none") << "\n";
    std::cout << "version " << varen::VarenSTTVersionNumber << "\n";
    return url ? 0 : 1;
}
