#include "varenstt/VarenSTTHypothesis.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <sstream>

namespace varen {

const char* const kConfidence = "confidence";
const char* const kTranscript = "transcript";

namespace {

// A server's number may lie outside the float range; it is clamped rather than left to an
// undefined conversion (which printed as null in JSON).
float toFloat(double value) {
    constexpr double kLargest = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(value, -kLargest, kLargest));
}

// The leading number of a text, as a text's float value reads it: blanks skipped, 0 when none.
float leadingNumber(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    if (start < text.size() && text[start] == '+') ++start;
    double value = 0.0;
    std::from_chars(text.data() + start, text.data() + text.size(), value);
    return toFloat(value);
}

float numericValue(const nlohmann::json& value) {
    if (value.is_number()) return toFloat(value.get<double>());
    if (value.is_boolean()) return value.get<bool>() ? 1.0f : 0.0f;
    if (value.is_string()) return leadingNumber(value.get<std::string>());
    return 0.0f;
}

// A server may send any bytes: a description never throws on text that is not UTF-8.
std::string dumpReplacingInvalidUTF8(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A dictionary's description: one "key = value;" line per entry between braces.
std::string describeValue(const nlohmann::json& value) {
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        bool plain = !text.empty();
        for (char c : text) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.') plain = false;
        }
        return plain ? text : dumpReplacingInvalidUTF8(nlohmann::json(text));
    }
    return dumpReplacingInvalidUTF8(value);
}

}  // namespace

VarenSTTHypothesis VarenSTTHypothesis::modelObjectWithDictionary(const nlohmann::json& dict) {
    return initWithDictionary(dict);
}

VarenSTTHypothesis VarenSTTHypothesis::initWithDictionary(const nlohmann::json& dict) {
    VarenSTTHypothesis hypothesis;
    if (!dict.is_object()) return hypothesis;
    hypothesis.confidence_ = numericValue(objectOrNilForKeyFromDictionary(kConfidence, dict));
    const auto transcript = objectOrNilForKeyFromDictionary(kTranscript, dict);
    if (transcript.is_string()) hypothesis.transcript_ = transcript.get<std::string>();
    return hypothesis;
}

nlohmann::json VarenSTTHypothesis::objectOrNilForKeyFromDictionary(const std::string& key,
                                                                   const nlohmann::json& dict) {
    if (!dict.is_object()) return nullptr;
    auto found = dict.find(key);
    if (found == dict.end() || found->is_null()) return nullptr;
    return *found;
}

nlohmann::json VarenSTTHypothesis::dictionaryRepresentation() const {
    nlohmann::json dict = nlohmann::json::object();
    dict[kConfidence] = static_cast<double>(confidence_);
    if (transcript_) dict[kTranscript] = *transcript_;
    return dict;
}

std::string VarenSTTHypothesis::description() const {
    std::ostringstream text;
    const nlohmann::json dict = dictionaryRepresentation();
    text << "{\n";
    for (const auto& [key, value] : dict.items()) {
        text << "    " << key << " = " << describeValue(value) << ";\n";
    }
    text << "}";
    return text.str();
}

void VarenSTTHypothesis::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeDoubleForKey(static_cast<double>(confidence_), kConfidence);
    coder.encodeObjectForKey(transcript_ ? nlohmann::json(*transcript_) : nlohmann::json(),
                             kTranscript);
}

VarenSTTHypothesis VarenSTTHypothesis::initWithCoder(const platform::KeyedUnarchiver& coder) {
    VarenSTTHypothesis hypothesis;
    hypothesis.confidence_ = static_cast<float>(coder.decodeDoubleForKey(kConfidence));
    const auto transcript = coder.decodeObjectForKey(kTranscript);
    if (transcript.is_string()) hypothesis.transcript_ = transcript.get<std::string>();
    return hypothesis;
}

Data VarenSTTHypothesis::archivedData() const {
    platform::KeyedArchiver archiver;
    encodeWithCoder(archiver);
    return archiver.encodedData();
}

std::optional<VarenSTTHypothesis> VarenSTTHypothesis::unarchiveObjectWithData(const Data& data) {
    const auto unarchiver = platform::KeyedUnarchiver::withData(data);
    if (!unarchiver) return std::nullopt;
    return initWithCoder(*unarchiver);
}

}  // namespace varen
