// Model definitions (one JSON file per model) and pools of recognisers built from them.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pocketsphinx.h>

namespace varen::server {

// A model as its definition file describes it. The file's name without ".json" is the model's
// name; relative paths inside are taken relative to the file's folder.
//   {"sample-rate": 8000, "hmm": DIR, "dict": FILE, "lm": FILE, "options": {"-name": "value"}}
// "sample-rate" is the rate the recogniser is fed (the 8 kHz audio is resampled to it);
// "options" are further recogniser arguments.
struct ModelDefinition {
    std::string name;
    std::string description;
    int sampleRate = 8000;
    std::filesystem::path hmm;
    std::filesystem::path dict;
    std::filesystem::path lm;
    std::vector<std::pair<std::string, std::string>> options;

    // Reads one definition file; throws std::runtime_error with a text naming the file and the
    // fault (unreadable, malformed JSON, a missing or mistyped member, a model file not found).
    static ModelDefinition load(const std::filesystem::path& file);
};

// One recogniser instance, with the feature normalisation it had when it was made, so that a
// reused instance decodes an utterance exactly as a fresh one would.
//
// Thread safety: none; one session's decoding strand uses it at a time.
class Decoder {
  public:
    explicit Decoder(const ModelDefinition& model);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    ps_decoder_t* get() const { return decoder_; }
    // Puts the feature normalisation back to its initial state.
    void restoreInitialState();

  private:
    ps_decoder_t* decoder_ = nullptr;
    std::vector<float> initialMean_;  // the recogniser's feature type (checked where it is used)
};

// Keeps idle decoders of one model for reuse: making one costs from milliseconds (digits) to
// seconds (a large vocabulary).
//
// Thread safety: acquire() and the release done by the returned handle may run on any thread.
class DecoderPool : public std::enable_shared_from_this<DecoderPool> {
  public:
    explicit DecoderPool(ModelDefinition model) : model_(std::move(model)) {}

    const ModelDefinition& model() const { return model_; }

    // An idle decoder, or a new one; it returns to the pool when the handle is released. Throws
    // std::runtime_error when the recogniser cannot be made.
    std::shared_ptr<Decoder> acquire();

  private:
    ModelDefinition model_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Decoder>> idle_;
};

// All models of a folder, by name.
//
// Thread safety: read-only after construction; the pools it hands out are thread-safe.
class ModelRegistry {
  public:
    // Loads every *.json of the folder; throws std::runtime_error when the folder cannot be read,
    // holds no model, or a definition is faulty.
    explicit ModelRegistry(const std::filesystem::path& folder);

    // The pool of the named model, or nullptr when there is none.
    std::shared_ptr<DecoderPool> find(const std::string& name) const;
    std::vector<std::string> names() const;

  private:
    std::map<std::string, std::shared_ptr<DecoderPool>> pools_;
};

// The models folder used when --models is not given: the one beside the sources when it exists,
// else the installed one.
std::filesystem::path defaultModelsFolder();

}  // namespace varen::server
