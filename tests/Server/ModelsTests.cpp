#include "Models.h"

#include <fstream>

#include <gtest/gtest.h>

#include "ServerTestSupport.h"

namespace varen::server {
namespace {

std::string loadError(const std::string& text) {
    test::TempFolder folder;
    std::filesystem::create_directory(folder.path() / "hmm");
    std::ofstream(folder.path() / "words.dic") << "one W AH N\n";
    std::ofstream(folder.path() / "words.lm") << "\n";
    std::ofstream(folder.path() / "m.json") << text;
    try {
        ModelDefinition model = ModelDefinition::load(folder.path() / "m.json");
        return "(loaded " + model.name + " " + model.hmm.filename().string() + ")";
    } catch (const std::runtime_error& error) {
        std::string message = error.what();
        return message.substr(message.find(": ") + 2);
    }
}

TEST(ModelDefinition, LoadsPathsRelativeToItsFolder) {
    EXPECT_EQ(
        loadError(R"({"hmm":"hmm","dict":"words.dic","lm":"words.lm","options":{"-nfft":"256"}})"),
        "(loaded m hmm)");
}

TEST(ModelDefinition, NamesTheFaultOfABadDefinition) {
    EXPECT_EQ(loadError("{"), "malformed JSON at byte 2");
    EXPECT_EQ(loadError("[]"), "not a JSON object");
    EXPECT_EQ(loadError(R"({"dict":"words.dic","lm":"words.lm"})"), "\"hmm\" must be a path");
    std::string missing = loadError(R"({"hmm":"hmm","dict":"words.dic","lm":"missing.lm"})");
    EXPECT_EQ(missing.substr(0, 16), "\"lm\" not found: ");
    EXPECT_TRUE(missing.ends_with("/missing.lm")) << missing;
    EXPECT_EQ(loadError(R"({"hmm":"hmm","dict":"words.dic","lm":"words.lm","sample-rate":8})"),
              "\"sample-rate\" must be an integer from 8000 to 48000");
    EXPECT_EQ(loadError(R"({"hmm":"hmm","dict":"words.dic","lm":"words.lm","options":{"x":"1"}})"),
              "option x must be \"-name\": \"value\"");
}

TEST(ModelRegistry, FindsTheShippedModelsByName) {
    ModelRegistry registry(defaultModelsFolder());
    EXPECT_EQ(registry.names(), (std::vector<std::string>{"en-US_8k", "en-US_8k_digits"}));
    EXPECT_EQ(registry.find("en-US_8k_digits")->model().sampleRate, 8000);
    EXPECT_EQ(registry.find("en-US_8k")->model().sampleRate, 16000);
    EXPECT_EQ(registry.find("it-IT_8k"), nullptr);
}

}  // namespace
}  // namespace varen::server
