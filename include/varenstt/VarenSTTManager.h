#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "varenstt/Platform/URL.h"

namespace varen {

// The library's public entry point: the shared object that holds the recognition settings.
//
// Thread safety: the host sets the settings on the main thread; the stream client reads them
// when it opens a connection. Only the creation of the shared instance is synchronized.
class VarenSTTManager : public std::enable_shared_from_this<VarenSTTManager> {
public:
    // The one shared instance, created on first use (safe from several threads at once).
    static std::shared_ptr<VarenSTTManager> shared();

    VarenSTTManager();
    virtual ~VarenSTTManager();

    const std::string& apiKey() const { return apiKey_; }
    void setApiKey(std::string apiKey) { apiKey_ = std::move(apiKey); }
    const std::string& decoderUrl() const { return decoderUrl_; }
    void setDecoderUrl(std::string decoderUrl) { decoderUrl_ = std::move(decoderUrl); }
    const std::string& prompt() const { return prompt_; }
    void setPrompt(std::string prompt) { prompt_ = std::move(prompt); }
    std::int64_t maxResults() const { return maxResults_; }
    void setMaxResults(std::int64_t maxResults) { maxResults_ = maxResults; }
    float minSilence() const { return minSilence_; }
    void setMinSilence(float minSilence) { minSilence_ = minSilence; }
    const std::string& languageModel() const { return languageModel_; }
    void setLanguageModel(std::string languageModel) { languageModel_ = std::move(languageModel); }

    // `decoderUrl` followed by "?key=<apiKey>&model=<languageModel>", both percent-encoded;
    // no URL when the joined text does not parse.
    std::optional<URL> serviceURL() const;

private:
    std::string apiKey_;
    std::string decoderUrl_;
    std::string prompt_;
    std::int64_t maxResults_;
    float minSilence_;
    std::string languageModel_;
};

}  // namespace varen
