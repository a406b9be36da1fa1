#include "varenstt/Platform/KeyedArchiver.h"

namespace varen::platform {

void KeyedArchiver::encodeDoubleForKey(double value, const std::string& key) {
    root_[key] = value;
}

void KeyedArchiver::encodeInt64ForKey(std::int64_t value, const std::string& key) {
    root_[key] = value;
}

void KeyedArchiver::encodeBoolForKey(bool value, const std::string& key) {
    root_[key] = value;
}

void KeyedArchiver::encodeObjectForKey(const nlohmann::json& object, const std::string& key) {
    root_[key] = object;
}

Data KeyedArchiver::encodedData() const {
    return nlohmann::json::to_cbor(root_);
}

std::optional<KeyedUnarchiver> KeyedUnarchiver::withData(const Data& data) {
    nlohmann::json root = nlohmann::json::from_cbor(data, true, false);
    if (root.is_discarded() || !root.is_object()) return std::nullopt;
    return KeyedUnarchiver(std::move(root));
}

double KeyedUnarchiver::decodeDoubleForKey(const std::string& key) const {
    auto found = root_.find(key);
    return found != root_.end() && found->is_number() ? found->get<double>() : 0.0;
}

std::int64_t KeyedUnarchiver::decodeInt64ForKey(const std::string& key) const {
    auto found = root_.find(key);
    return found != root_.end() && found->is_number_integer() ? found->get<std::int64_t>() : 0;
}

bool KeyedUnarchiver::decodeBoolForKey(const std::string& key) const {
    auto found = root_.find(key);
    return found != root_.end() && found->is_boolean() && found->get<bool>();
}

nlohmann::json KeyedUnarchiver::decodeObjectForKey(const std::string& key) const {
    auto found = root_.find(key);
    return found == root_.end() ? nlohmann::json() : *found;
}

bool KeyedUnarchiver::containsValueForKey(const std::string& key) const {
    return root_.contains(key);
}

}  // namespace varen::platform
