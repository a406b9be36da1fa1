// Model definitions (one JSON file per model) and pools of recognisers built from them.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// One thread's copy of a model's n-gram language model, shared by the decoders made on that
// thread. The recogniser's n-gram scoring keeps a cache of the last history it scored inside the
// model object, so a copy shared by decoders on two threads at once would mix their scores;
// decoders of one thread take turns, which the cache allows.
//
// Thread safety: made, used and destroyed on one thread (the pool destroys it last).
class LanguageModel {
  public:
    // Reads the model's file with the decoder's configuration and log base; throws
    // std::runtime_error when it cannot be read.
    LanguageModel(const ModelDefinition& model, ps_decoder_t* decoder);
    ~LanguageModel();
    LanguageModel(const LanguageModel&) = delete;
    LanguageModel& operator=(const LanguageModel&) = delete;

    ngram_model_t* get() const { return model_; }

  private:
    logmath_t* logmath_ = nullptr;
    ngram_model_t* model_ = nullptr;
};

// One recogniser instance: its own acoustic model, dictionary and search state, and a language
// model it may share.
//
// Thread safety: none; one thread makes its search, uses it and destroys it.
class Decoder {
  public:
    // The acoustic model and the dictionary, without a search yet. Throws std::runtime_error.
    explicit Decoder(const ModelDefinition& model);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Searches with this language model from now on. Throws std::runtime_error.
    void searchWith(std::shared_ptr<LanguageModel> languageModel);

    ps_decoder_t* get() const { return decoder_; }

  private:
    ps_decoder_t* decoder_ = nullptr;
    std::shared_ptr<LanguageModel> languageModel_;  // freed after decoder_, which refers to it
};

// Hands out fresh decoders of one model. A used decoder is never handed out again: it carries
// adapted state (noise and feature statistics) that would make one session's result depend on
// the sessions before it. Making the acoustic model and dictionary costs from milliseconds
// (digits) to a few tenths of a second (a large vocabulary), so the pool keeps one spare made
// ahead; the language model is read once per thread that decodes.
//
// Thread safety: all operations may run on any thread; see acquire() for where its decoder lives.
class DecoderPool {
  public:
    explicit DecoderPool(ModelDefinition model);

    const ModelDefinition& model() const { return model_; }

    // A fresh decoder searching with the calling thread's copy of the language model, so it
    // must be used and destroyed on the calling thread. Throws std::runtime_error when the
    // recogniser cannot be made.
    std::unique_ptr<Decoder> acquire();
    // Makes the spare when there is none and none is being made; blocks while it does.
    void replenish();

    // What one more session of this model adds to the process's memory: the most that making
    // its parts was seen to add, or a guess from the size of the model's files before that.
    std::uint64_t sessionBytes() const { return bareBytes_ + searchBytes_; }

  private:
    std::unique_ptr<Decoder> makeBare();
    std::shared_ptr<LanguageModel> languageModelOfThisThread(const Decoder& decoder);

    ModelDefinition model_;
    std::mutex mutex_;
    std::unique_ptr<Decoder> spare_;
    bool preparing_ = false;
    std::map<std::thread::id, std::shared_ptr<LanguageModel>> languageModels_;
    std::atomic<std::uint64_t> bareBytes_;
    std::atomic<std::uint64_t> searchBytes_;
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
