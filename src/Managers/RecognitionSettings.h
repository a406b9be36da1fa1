#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "varenstt/Platform/URL.h"

namespace varen {

// The host's recognition settings as the stream client reads them: the service URL when it
// opens a connection, the start command's values when it sends it, the final-result timeout
// when it stops. The host face provides them; the stream client cannot name it.
class RecognitionSettings {
  public:
    virtual ~RecognitionSettings() = default;
    virtual std::optional<URL> serviceURL() const = 0;
    virtual std::int64_t maxResults() const = 0;
    virtual float minSilence() const = 0;
    virtual double finalResultTimeout() const = 0;
    // Opt-in network resilience; the defaults keep a single direct connection per run.
    virtual std::int64_t resumeAttempts() const { return 0; }
    virtual double pingInterval() const { return 0; }
    virtual std::string proxyUrl() const { return {}; }  // empty: direct
};

// The service a host names: the decoder URL with the key and the model as query parameters,
// escaped so that a key or model with "&", "#" or a blank can neither add parameters nor make the
// whole URL unparsable. None when the result is no URL at all.
std::optional<URL> recognitionServiceURL(const std::string& decoderUrl, const std::string& apiKey,
                                         const std::string& model);

inline constexpr const char* kDefaultDecoderUrl = "ws://localhost:8390/ws/client/speech";

using RecognitionSettingsSource = std::function<std::shared_ptr<const RecognitionSettings>()>;

// Installs where the settings come from: the host face installs the shared manager's when the
// library is loaded, so a source is always there. Both functions may be called from any thread.
void setRecognitionSettingsSource(RecognitionSettingsSource source);
// The current settings; none only if no source was ever installed.
std::shared_ptr<const RecognitionSettings> recognitionSettings();

}  // namespace varen
