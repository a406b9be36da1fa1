// varen-stt: one recognition through VarenSTTManager, from the microphone or a file.
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/AudioSession.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/Documents.h"
#include "varenstt/Platform/NotificationCenter.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/Platform/UIRenderer.h"
#include "varenstt/Platform/UIWindow.h"
#include "varenstt/VarenSTT.h"

namespace {

using namespace varen;
using nlohmann::json;

constexpr const char* kUsage =
    "usage: varen-stt [options]\n"
    "  --url TEXT            decoder URL (default ws://localhost:8390/ws/client/speech)\n"
    "  --key TEXT            API key\n"
    "  --model TEXT          language model\n"
    "  --max-results N       alternatives asked of the server\n"
    "  --min-silence SECONDS end-pointing silence (0: off)\n"
    "  --prompt TEXT         prompt of the recognition screen\n"
    "  --mic                 record the default input device (default)\n"
    "  --input FILE          stream an audio file instead, paced in real time\n"
    "  --fast                with --input: about ten times real time\n"
    "  --screen              run through the recognition screen drawn in the terminal\n"
    "  --deny-mic            refuse the record permission\n"
    "  --stop-after SECONDS  stop the recognition after that time\n"
    "  --final-timeout SECONDS  deadline for the final result after the stop (default 30;\n"
    "                        0: none)\n"
    "  --json                one JSON object per line for each event\n"
    "  --help, --version\n";

struct Options {
    std::optional<std::string> url, key, model, prompt;
    std::optional<long long> maxResults;
    std::optional<float> minSilence;
    std::optional<std::filesystem::path> input;
    bool fast = false, screen = false, denyMic = false, json = false;
    std::optional<double> stopAfter;
    std::optional<double> finalTimeout;
};

[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "varen-stt: " << message << "\n" << kUsage;
    std::exit(2);
}

double parseNumber(const std::string& option, const std::string& text) {
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    double value = 0;
    if (!(stream >> value) || !stream.eof() || !std::isfinite(value)) {
        usageError(option + " needs a number, not '" + text + "'");
    }
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    bool mic = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg == "--version") {
            std::cout << "varen-stt " << VarenSTTVersionNumber << "\n";
            std::exit(0);
        } else if (arg == "--url") {
            options.url = value();
        } else if (arg == "--key") {
            options.key = value();
        } else if (arg == "--model") {
            options.model = value();
        } else if (arg == "--prompt") {
            options.prompt = value();
        } else if (arg == "--max-results") {
            const double n = parseNumber(arg, value());
            if (n != std::floor(n)) usageError("--max-results needs a whole number");
            options.maxResults = static_cast<long long>(n);
        } else if (arg == "--min-silence") {
            options.minSilence = static_cast<float>(parseNumber(arg, value()));
        } else if (arg == "--stop-after") {
            options.stopAfter = parseNumber(arg, value());
            if (*options.stopAfter < 0) usageError("--stop-after needs a positive number");
        } else if (arg == "--final-timeout") {
            options.finalTimeout = parseNumber(arg, value());
            if (*options.finalTimeout < 0) usageError("--final-timeout needs a positive number");
        } else if (arg == "--mic") {
            mic = true;
        } else if (arg == "--input") {
            options.input = value();
        } else if (arg == "--fast") {
            options.fast = true;
        } else if (arg == "--screen") {
            options.screen = true;
        } else if (arg == "--deny-mic") {
            options.denyMic = true;
        } else if (arg == "--json") {
            options.json = true;
        } else {
            usageError("unknown option " + arg);
        }
    }
    if (mic && options.input) usageError("--mic and --input exclude each other");
    if (options.fast && !options.input) usageError("--fast goes with --input");
    return options;
}

// The audio's length in seconds, for the progress line; none when the file cannot be read.
std::optional<double> fileDuration(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return std::nullopt;
    sf_close(file);
    if (info.samplerate <= 0) return std::nullopt;
    return static_cast<double>(info.frames) / info.samplerate;
}

std::optional<std::filesystem::path> newestRecording() {
    const auto folder = platform::documentsDirectory() / "voice";
    std::error_code error;
    std::optional<std::filesystem::path> newest;
    std::filesystem::file_time_type newestTime{};
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() != ".spx") continue;
        const auto time = entry.last_write_time(error);
        if (!newest || time > newestTime) {
            newest = entry.path();
            newestTime = time;
        }
    }
    return newest;
}

// Shows what the delegate hears, as JSON lines or for a person, and keeps the exit status.
class Presenter : public VarenSTTManagerDelegate {
  public:
    explicit Presenter(const Options& options) : options_(options) {
        if (options.input) duration_ = fileDuration(*options.input);
        started_ = std::chrono::steady_clock::now();
    }

    void varenSTTManagerDidRecognizeAudioWith(
        VarenSTTManager& manager, const std::vector<VarenSTTHypothesis>& hypotheses) override {
        if (options_.json) {
            json list = json::array();
            for (const auto& h : hypotheses) {
                list.push_back({{"transcript", h.transcript() ? json(*h.transcript()) : json()},
                                {"confidence", h.confidence()}});
            }
            emit({{"event", "final"}, {"hypotheses", list}});
        } else {
            endLine();
            std::cout << "final result:\n";
            if (hypotheses.empty()) std::cout << "  (no alternatives)\n";
            int index = 1;
            for (const auto& h : hypotheses) {
                std::printf("  %d. %-40s confidence %.2f\n", index++,
                            shown(h.transcript().value_or("")).c_str(),
                            static_cast<double>(h.confidence()));
            }
        }
        finish(manager.recordingPath(), 0);
    }

    void varenSTTManagerDidFailRecognizeAudioWithError(VarenSTTManager& manager,
                                                       const std::string& message) override {
        if (options_.json) {
            emit({{"event", "error"}, {"message", message}});
        } else {
            endLine();
            std::cout << "error: " << shown(message) << "\n";
        }
        finish(manager.recordingPath(), 1);
    }

    void varenSTTManagerDidRecognizePartialAudioWith(VarenSTTManager&,
                                                     const std::string& text) override {
        if (options_.json) return emit({{"event", "partial"}, {"text", text}});
        partial_ = shown(text);
        redraw();
    }

    void varenSTTManagerDidChangeVolumeWithDecibels(VarenSTTManager&, float decibels) override {
        if (options_.json) return emit({{"event", "level"}, {"db", decibels}});
        level_ = decibels;
        redraw();
    }

    bool finished() const { return exitStatus_.has_value(); }
    int exitStatus() const { return exitStatus_.value_or(1); }

  private:
    // A server's text on a terminal: never a control character that could steer it.
    std::string shown(const std::string& text) const {
        return stdoutIsTerminal_ ? platform::terminalSafeText(text) : text;
    }

    void emit(const json& event) {
        std::cout << event.dump() << "\n";
        std::cout.flush();
    }

    void finish(const std::optional<std::filesystem::path>& recording, int status) {
        if (exitStatus_) return;
        const auto path = recording ? recording : newestRecording();
        if (path && std::filesystem::exists(*path)) {
            if (options_.json) {
                emit({{"event", "recording"}, {"path", path->string()}});
            } else {
                std::cout << "recording: " << path->string() << "\n";
            }
        }
        exitStatus_ = status;
    }

    // One status line, rewritten in place: progress, level meter, partial text.
    void redraw() {
        if (options_.screen) return;
        std::string line;
        if (duration_) {
            const double speed = options_.fast ? 10.0 : 1.0;
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count() *
                speed;
            char progress[64];
            std::snprintf(progress, sizeof progress, "[%5.1f/%5.1f s] ",
                          std::min(elapsed, *duration_), *duration_);
            line += progress;
        }
        const int bars = static_cast<int>(std::clamp((level_ + 60.0f) / 3.0f, 0.0f, 20.0f));
        char meter[64];
        std::snprintf(meter, sizeof meter, "%6.1f dB ", static_cast<double>(level_));
        line += meter + std::string("|") + std::string(static_cast<std::size_t>(bars), '#') +
                std::string(static_cast<std::size_t>(20 - bars), ' ') + "| " + partial_;
        std::cout << "\r\033[K" << line << std::flush;
        lineOpen_ = true;
    }

    void endLine() {
        if (lineOpen_) std::cout << "\n";
        lineOpen_ = false;
    }

    const Options& options_;
    std::optional<double> duration_;
    std::chrono::steady_clock::time_point started_;
    std::string partial_;
    float level_ = -160.0f;
    bool lineOpen_ = false;
    std::optional<int> exitStatus_;
    const bool stdoutIsTerminal_ = isatty(STDOUT_FILENO) == 1;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    auto manager = VarenSTTManager::shared();
    if (options.url) manager->setDecoderUrl(*options.url);
    if (options.key) manager->setApiKey(*options.key);
    if (options.model) manager->setLanguageModel(*options.model);
    if (options.prompt) manager->setPrompt(*options.prompt);
    if (options.maxResults) manager->setMaxResults(*options.maxResults);
    if (options.minSilence) manager->setMinSilence(*options.minSilence);
    if (options.finalTimeout) manager->setFinalResultTimeout(*options.finalTimeout);

    if (options.input) {
        platform::setDefaultAudioInputSource(
            platform::AudioInputSource::file(*options.input, options.fast ? 10.0 : 1.0));
    } else {
        platform::setDefaultAudioInputSource(platform::AudioInputSource::defaultDevice());
    }
    if (options.denyMic) {
        platform::AudioSession::sharedInstance()->setRecordPermissionPolicy(
            platform::AudioSession::RecordPermissionPolicy::deny);
    }

    auto presenter = std::make_shared<Presenter>(options);
    manager->setDelegate(presenter);
    auto mainQueue = platform::DispatchQueue::main();
    std::atomic<bool> stopRequested{false};
    auto stop = [&] {
        if (!stopRequested.exchange(true)) manager->stopRecognize();
    };

    // The end of the file: its audio has played out, so the encoder has sent all of it.
    auto playedOut = platform::NotificationCenter::defaultCenter().addObserver(
        platform::AudioInputDidPlayOutNotification, nullptr,
        [&](const platform::Notification&) { mainQueue->async(stop); });

    std::shared_ptr<platform::Window> window;
    std::shared_ptr<platform::TerminalRenderer> renderer;
    if (options.screen) {
        window = platform::Window::create();
        renderer = platform::TerminalRenderer::create(STDIN_FILENO,
                                                      options.json ? STDERR_FILENO : STDOUT_FILENO);
        window->addRenderer(renderer);
        renderer->start();
        window->rootViewController()->presentViewControllerAnimatedCompletion(
            manager->varenSTTViewController(), true);
    } else {
        manager->startRecognize();
        if (!options.input && isatty(STDIN_FILENO)) {
            // Enter stops a microphone run. The thread may outlive `main`, blocked in its read:
            // it holds the queue itself, and `stop` is only reached from the main loop, which
            // runs no more once the library has been shut down.
            std::thread([mainQueue, &stop] {
                std::string line;
                if (std::getline(std::cin, line)) mainQueue->async([&stop] { stop(); });
            }).detach();
        }
    }
    if (options.stopAfter) {
        mainQueue->after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(*options.stopAfter)),
                         stop);
    }

    platform::RunLoop::main()->runUntil([&] { return presenter->finished(); },
                                        std::chrono::hours(24 * 365));
    if (renderer) renderer->stop();
    platform::NotificationCenter::defaultCenter().removeObserver(playedOut);
    const int status = presenter->exitStatus();
    manager->setDelegate({});
    manager.reset();
    varen::shutdown();
    std::cout.flush();
    std::fflush(nullptr);
    return status;
}
