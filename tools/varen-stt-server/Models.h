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

// One recogniser instance.
//
// Thread safety: none; one session's decoding strand uses it at a time.
class Decoder {
  public:
    explicit Decoder(const ModelDefinition& model);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    ps_decoder_t* get() const { return decoder_; }

  private:
    ps_decoder_t* decoder_ = nullptr;
};

// Hands out fresh decoders of one model. A used decoder is never handed out again: it carries
// adapted state (noise and feature statistics) that would make one session's result depend on
// the sessions before it. Making a decoder costs from milliseconds (digits) to about a second (a
// large vocabulary), so the pool keeps one spare made ahead.
//
// Thread safety: all operations may run on any thread.
class DecoderPool {
  public:
    explicit DecoderPool(ModelDefinition model) : model_(std::move(model)) {}

    const ModelDefinition& model() const { return model_; }

    // The spare decoder, or a new one. Throws std::runtime_error when the recogniser cannot be
    // made.
    std::unique_ptr<Decoder> acquire();
    // Makes the spare when there is none and none is being made; blocks while it does.
    void replenish();

  private:
    ModelDefinition model_;
    std::mutex mutex_;
    std::unique_ptr<Decoder> spare_;
    bool preparing_ = false;
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
