#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "varenstt/Export.h"
#include "varenstt/Platform/Data.h"

namespace varen::platform {

// Writes keyed values into an archive (CBOR of a key-value map).
class VARENSTT_API KeyedArchiver {
  public:
    void encodeDoubleForKey(double value, const std::string& key);
    void encodeInt64ForKey(std::int64_t value, const std::string& key);
    void encodeBoolForKey(bool value, const std::string& key);
    // An absent object is recorded as absent (null).
    void encodeObjectForKey(const nlohmann::json& object, const std::string& key);

    Data encodedData() const;

  private:
    nlohmann::json root_ = nlohmann::json::object();
};

// Reads keyed values from an archive; a missing key or a value of another type gives the
// type's zero (or no object).
class VARENSTT_API KeyedUnarchiver {
  public:
    // No unarchiver when the bytes are not an archive.
    static std::optional<KeyedUnarchiver> withData(const Data& data);

    double decodeDoubleForKey(const std::string& key) const;
    std::int64_t decodeInt64ForKey(const std::string& key) const;
    bool decodeBoolForKey(const std::string& key) const;
    nlohmann::json decodeObjectForKey(const std::string& key) const;
    bool containsValueForKey(const std::string& key) const;

  private:
    explicit KeyedUnarchiver(nlohmann::json root) : root_(std::move(root)) {}
    nlohmann::json root_;
};

}  // namespace varen::platform
