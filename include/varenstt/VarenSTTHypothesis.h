#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "varenstt/Export.h"
#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/KeyedArchiver.h"

namespace varen {

// Map keys of a hypothesis.
VARENSTT_API extern const char* const kConfidence;  // "confidence"
VARENSTT_API extern const char* const kTranscript;  // "transcript"

// One alternative transcript of a final recognition result.
class VARENSTT_API VarenSTTHypothesis {
  public:
    VarenSTTHypothesis() = default;

    static VarenSTTHypothesis modelObjectWithDictionary(const nlohmann::json& dict);
    // Fills the fields only when the argument is a JSON object.
    static VarenSTTHypothesis initWithDictionary(const nlohmann::json& dict);
    // The value under the key, or null when it is absent or JSON null.
    static nlohmann::json objectOrNilForKeyFromDictionary(const std::string& key,
                                                         const nlohmann::json& dict);

    nlohmann::json dictionaryRepresentation() const;
    std::string description() const;

    // Keyed archiving.
    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static VarenSTTHypothesis initWithCoder(const platform::KeyedUnarchiver& coder);
    Data archivedData() const;
    // No hypothesis when the bytes are not an archive.
    static std::optional<VarenSTTHypothesis> unarchiveObjectWithData(const Data& data);

    VarenSTTHypothesis copy() const { return *this; }

    float confidence() const { return confidence_; }
    void setConfidence(float confidence) { confidence_ = confidence; }
    const std::optional<std::string>& transcript() const { return transcript_; }
    void setTranscript(std::optional<std::string> transcript) { transcript_ = std::move(transcript); }

    bool operator==(const VarenSTTHypothesis&) const = default;

private:
    float confidence_ = 0.0f;
    std::optional<std::string> transcript_;
};

}  // namespace varen
