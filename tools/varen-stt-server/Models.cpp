#include "Models.h"

#include <fstream>
#include <stdexcept>

#include <sphinxbase/err.h>
#include <nlohmann/json.hpp>

#include "Memory.h"

namespace varen::server {

namespace fs = std::filesystem;

namespace {

// The recogniser's library keeps its log target and parts of its set-up in globals: decoders
// are made one at a time, and its chatter is switched off once.
std::mutex& creationMutex() {
    static std::mutex mutex;
    return mutex;
}

void silenceRecogniserLog() {
    static std::once_flag once;
    std::call_once(once, [] { err_set_logfp(nullptr); });
}

[[noreturn]] void fail(const fs::path& file, const std::string& what) {
    throw std::runtime_error("model definition " + file.string() + ": " + what);
}

fs::path readPath(const nlohmann::json& definition, const fs::path& file, const char* member,
                  bool directory) {
    auto it = definition.find(member);
    if (it == definition.end() || !it->is_string() || it->get<std::string>().empty()) {
        fail(file, std::string("\"") + member + "\" must be a path");
    }
    fs::path path = it->get<std::string>();
    if (path.is_relative()) path = file.parent_path() / path;
    std::error_code error;
    bool found = directory ? fs::is_directory(path, error) : fs::is_regular_file(path, error);
    if (!found) fail(file, std::string("\"") + member + "\" not found: " + path.string());
    return path;
}

}  // namespace

ModelDefinition ModelDefinition::load(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) fail(file, "cannot be read");
    nlohmann::json definition;
    try {
        definition = nlohmann::json::parse(in);
    } catch (const nlohmann::json::parse_error& error) {
        fail(file, "malformed JSON at byte " + std::to_string(error.byte));
    }
    if (!definition.is_object()) fail(file, "not a JSON object");

    ModelDefinition model;
    model.name = file.stem().string();
    if (auto it = definition.find("description"); it != definition.end() && it->is_string()) {
        model.description = it->get<std::string>();
    }
    if (auto it = definition.find("sample-rate"); it != definition.end()) {
        if (!it->is_number_integer() || it->get<long>() < 8000 || it->get<long>() > 48000) {
            fail(file, "\"sample-rate\" must be an integer from 8000 to 48000");
        }
        model.sampleRate = it->get<int>();
    }
    model.hmm = readPath(definition, file, "hmm", true);
    model.dict = readPath(definition, file, "dict", false);
    model.lm = readPath(definition, file, "lm", false);
    // The acoustic model's own feature settings may switch on the recogniser's dither, whose
    // random source is shared by every decoder of the process; the definition can replace them.
    if (definition.contains("featparams")) {
        model.options.emplace_back("-featparams",
                                   readPath(definition, file, "featparams", false).string());
    }
    if (auto it = definition.find("options"); it != definition.end()) {
        if (!it->is_object()) fail(file, "\"options\" must be an object");
        for (const auto& [name, value] : it->items()) {
            if (!value.is_string() || name.empty() || name[0] != '-') {
                fail(file, "option " + name + " must be \"-name\": \"value\"");
            }
            model.options.emplace_back(name, value.get<std::string>());
        }
    }
    return model;
}

LanguageModel::LanguageModel(const ModelDefinition& model, ps_decoder_t* decoder)
    : logmath_(logmath_retain(ps_get_logmath(decoder))) {
    std::lock_guard lock(creationMutex());
    model_ =
        ngram_model_read(ps_get_config(decoder), model.lm.string().c_str(), NGRAM_AUTO, logmath_);
    if (model_ == nullptr) {
        logmath_free(logmath_);
        throw std::runtime_error("model " + model.name + ": the language model could not be read");
    }
}

LanguageModel::~LanguageModel() {
    ngram_model_free(model_);
    logmath_free(logmath_);
}

Decoder::Decoder(const ModelDefinition& model) {
    silenceRecogniserLog();
    std::vector<std::string> args = {"-hmm", model.hmm.string(), "-dict", model.dict.string()};
    for (const auto& [name, value] : model.options) {
        args.push_back(name);
        args.push_back(value);
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());

    std::lock_guard lock(creationMutex());
    cmd_ln_t* config =
        cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
    if (config == nullptr) {
        throw std::runtime_error("model " + model.name + ": the recogniser refused its options");
    }
    decoder_ = ps_init(config);
    cmd_ln_free_r(config);  // the decoder holds its own reference
    if (decoder_ == nullptr) {
        throw std::runtime_error("model " + model.name + ": the recogniser could not load it");
    }
}

Decoder::~Decoder() {
    if (decoder_) ps_free(decoder_);
    // A session's decoder is tens of megabytes in many blocks; without this the allocator keeps
    // them and the memory budget would see them as still in use.
    returnFreedMemory();
}

void Decoder::searchWith(std::shared_ptr<LanguageModel> languageModel) {
    constexpr const char* kSearch = "ngram";
    std::lock_guard lock(creationMutex());
    // The search takes a reference of its own to the language model.
    if (ps_set_lm(decoder_, kSearch, languageModel->get()) < 0 ||
        ps_set_search(decoder_, kSearch) < 0) {
        throw std::runtime_error("the recogniser could not make its search");
    }
    languageModel_ = std::move(languageModel);
}

namespace {

std::uint64_t fileBytes(const fs::path& path) {
    std::error_code error;
    if (!fs::is_directory(path, error)) {
        auto size = fs::file_size(path, error);
        return error ? 0 : size;
    }
    std::uint64_t total = 0;
    for (const auto& entry : fs::directory_iterator(path, error)) total += fileBytes(entry.path());
    return total;
}

// Raises `largest` to what the resident set grew by since `before`.
void noteGrowth(std::atomic<std::uint64_t>& largest, std::uint64_t before) {
    std::uint64_t after = residentBytes();
    if (after <= before) return;
    std::uint64_t growth = after - before;
    std::uint64_t seen = largest.load();
    while (growth > seen && !largest.compare_exchange_weak(seen, growth)) {
    }
}

}  // namespace

DecoderPool::DecoderPool(ModelDefinition model) : model_(std::move(model)) {
    // Until a decoder has been made, twice the files: a guess on the safe side for the models
    // shipped.
    std::uint64_t files = fileBytes(model_.hmm) + fileBytes(model_.dict) + fileBytes(model_.lm);
    bareBytes_ = files;
    searchBytes_ = files;
}

std::unique_ptr<Decoder> DecoderPool::makeBare() {
    std::uint64_t before = residentBytes();
    auto decoder = std::make_unique<Decoder>(model_);
    noteGrowth(bareBytes_, before);
    return decoder;
}

std::shared_ptr<LanguageModel> DecoderPool::languageModelOfThisThread(const Decoder& decoder) {
    auto thread = std::this_thread::get_id();
    {
        std::lock_guard lock(mutex_);
        if (auto it = languageModels_.find(thread); it != languageModels_.end()) return it->second;
    }
    // Only this thread makes its own copy, so no other can have made it meanwhile.
    auto languageModel = std::make_shared<LanguageModel>(model_, decoder.get());
    std::lock_guard lock(mutex_);
    languageModels_.emplace(thread, languageModel);
    return languageModel;
}

std::unique_ptr<Decoder> DecoderPool::acquire() {
    std::unique_ptr<Decoder> decoder;
    {
        std::lock_guard lock(mutex_);
        decoder = std::move(spare_);
    }
    if (!decoder) decoder = makeBare();
    auto languageModel = languageModelOfThisThread(*decoder);
    std::uint64_t before = residentBytes();
    decoder->searchWith(std::move(languageModel));
    noteGrowth(searchBytes_, before);
    return decoder;
}

void DecoderPool::replenish() {
    {
        std::lock_guard lock(mutex_);
        if (spare_ || preparing_) return;
        preparing_ = true;
    }
    std::unique_ptr<Decoder> decoder;
    try {
        decoder = makeBare();
    } catch (const std::exception&) {
        // The next acquire() reports it.
    }
    std::lock_guard lock(mutex_);
    spare_ = std::move(decoder);
    preparing_ = false;
}

ModelRegistry::ModelRegistry(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error)
        throw std::runtime_error("models folder " + folder.string() + ": " + error.message());
    for (const auto& entry : entries) {
        if (entry.path().extension() != ".json") continue;
        ModelDefinition model = ModelDefinition::load(entry.path());
        std::string name = model.name;
        pools_.emplace(std::move(name), std::make_shared<DecoderPool>(std::move(model)));
    }
    if (pools_.empty()) throw std::runtime_error("models folder " + folder.string() + ": no model");
}

std::shared_ptr<DecoderPool> ModelRegistry::find(const std::string& name) const {
    auto it = pools_.find(name);
    return it == pools_.end() ? nullptr : it->second;
}

std::vector<std::string> ModelRegistry::names() const {
    std::vector<std::string> result;
    for (const auto& [name, pool] : pools_) result.push_back(name);
    return result;
}

fs::path defaultModelsFolder() {
    std::error_code error;
    fs::path source = VARENSTT_SERVER_MODELS_SOURCE_DIR;
    if (fs::is_directory(source, error)) return source;
    return VARENSTT_SERVER_MODELS_INSTALL_DIR;
}

}  // namespace varen::server
