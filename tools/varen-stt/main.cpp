// varen-stt: one recognition through VarenSTTManager, from the microphone or a file.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "BatchRun.h"
#include "Presentation.h"
#include "ProxyEnvironment.h"
#include "ToolCommandLine.h"
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
using tools::UsageError;

constexpr const char* kUsage =
    "usage: varen-stt [options]\n"
    "  --url TEXT            decoder URL (default ws://localhost:8390/ws/client/speech)\n"
    "  --key TEXT            API key\n"
    "  --model TEXT          language model\n"
    "  --max-results N       alternatives asked of the server\n"
    "  --min-silence SECONDS end-pointing silence (0: off)\n"
    "  --prompt TEXT         prompt of the recognition screen\n"
    "  --mic                 record the default input device (default)\n"
    "  --input FILE          stream an audio file instead, paced in real time; repeatable:\n"
    "                        each file is recognised on its own\n"
    "  --jobs N              with several inputs: how many run at once (default 1)\n"
    "  --fast                with --input: about ten times real time\n"
    "  --screen              run through the recognition screen drawn in the terminal\n"
    "  --deny-mic            refuse the record permission\n"
    "  --stop-after SECONDS  stop the recognition after that time\n"
    "  --final-timeout SECONDS  deadline for the final result after the stop (default 30;\n"
    "                        0: none)\n"
    "  --ping-interval SECONDS  ping when the server is silent this long (default 0: never)\n"
    "  --resume N            resume attempts in a row after the connection drops (default 0)\n"
    "  --proxy URL           connect through an HTTP proxy, http://[user:password@]host:port\n"
    "                        (default: http_proxy / https_proxy unless no_proxy names the host;\n"
    "                        \"\" for none)\n"
    "  --json                one JSON object per line for each event\n"
    "  --verbose             the library's log lines on stderr (default: nowhere)\n"
    "  --log FILE            the library's log lines into FILE\n"
    "  --help, --version\n";

struct Options {
    std::optional<std::string> url, key, model, prompt;
    std::optional<long long> maxResults;
    std::optional<float> minSilence;
    std::optional<std::filesystem::path> input;  // the one input of a single run
    std::vector<std::filesystem::path> inputs;
    std::size_t jobs = 1;
    bool fast = false, screen = false, denyMic = false, json = false, verbose = false;
    std::optional<std::filesystem::path> logFile;
    std::optional<double> stopAfter;
    std::optional<double> finalTimeout;
    std::optional<double> pingInterval;
    std::optional<std::int64_t> resumeAttempts;
    std::optional<std::string> proxyOption;  // as given to --proxy
    std::optional<std::string> proxy;        // the one to use, from --proxy or the environment
};

double parseNumber(const std::string& option, const std::string& text) {
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    double value = 0;
    if (!(stream >> value) || !stream.eof() || !std::isfinite(value)) {
        throw UsageError(option + " needs a number, not '" + text + "'");
    }
    return value;
}

double parsePositive(const std::string& option, const std::string& text) {
    const double value = parseNumber(option, text);
    if (value < 0) throw UsageError(option + " needs a positive number");
    return value;
}

std::string versionLine() {
    std::ostringstream line;
    line << "varen-stt " << VarenSTTVersionNumber;
    return line.str();
}

// An option with a value: a missing value is reported as "OPTION needs a value".
void addValue(tools::ToolCommandLine& cli, const std::string& name,
              std::function<void(const std::string&)> apply) {
    cli.value(name, name + " needs a value", std::move(apply));
}

// What the recognition asks of the server.
void declareSettings(tools::ToolCommandLine& cli, Options& options) {
    addValue(cli, "--url", [&options](const std::string& v) { options.url = v; });
    addValue(cli, "--key", [&options](const std::string& v) { options.key = v; });
    addValue(cli, "--model", [&options](const std::string& v) { options.model = v; });
    addValue(cli, "--prompt", [&options](const std::string& v) { options.prompt = v; });
    addValue(cli, "--max-results", [&options](const std::string& v) {
        const double n = parseNumber("--max-results", v);
        if (n != std::floor(n)) throw UsageError("--max-results needs a whole number");
        options.maxResults = static_cast<long long>(n);
    });
    addValue(cli, "--min-silence", [&options](const std::string& v) {
        options.minSilence = static_cast<float>(parseNumber("--min-silence", v));
    });
    addValue(cli, "--ping-interval", [&options](const std::string& v) {
        options.pingInterval = parsePositive("--ping-interval", v);
    });
    addValue(cli, "--resume", [&options](const std::string& v) {
        const double n = parseNumber("--resume", v);
        if (n < 0 || n != std::floor(n) || n > 1000)
            throw UsageError("--resume needs a whole number from 0 to 1000");
        options.resumeAttempts = static_cast<std::int64_t>(n);
    });
    addValue(cli, "--proxy", [&options](const std::string& v) { options.proxyOption = v; });
}

// The proxy for the decoder URL: --proxy, else the environment's; a usage error when it is no
// URL. An unusable decoder URL is left for the run to report.
std::optional<std::string> chosenProxy(const Options& options) {
    const auto decoder = URL::URLWithString(options.url.value_or(RecognizerOptions{}.url));
    if (!decoder) return std::nullopt;
    const auto choice = tools::chooseProxy(options.proxyOption, decoder->scheme(), decoder->host(),
                                           tools::processEnvironment);
    if (!choice) return std::nullopt;
    if (!URL::URLWithString(choice->url))
        throw UsageError(choice->source + " is not a URL: " + choice->url);
    return choice->url;
}

// Where the audio comes from and how the run goes and ends.
void declareRun(tools::ToolCommandLine& cli, Options& options, bool& mic) {
    cli.flag("--mic", [&mic] { mic = true; });
    addValue(cli, "--input", [&options](const std::string& v) { options.inputs.push_back(v); });
    addValue(cli, "--jobs", [&options](const std::string& v) {
        const double n = parseNumber("--jobs", v);
        if (n < 1 || n != std::floor(n) || n > 1000)
            throw UsageError("--jobs needs a whole number from 1");
        options.jobs = static_cast<std::size_t>(n);
    });
    cli.flag("--fast", [&options] { options.fast = true; });
    cli.flag("--screen", [&options] { options.screen = true; });
    cli.flag("--deny-mic", [&options] { options.denyMic = true; });
    cli.flag("--json", [&options] { options.json = true; });
    cli.flag("--verbose", [&options] { options.verbose = true; });
    addValue(cli, "--log", [&options](const std::string& v) { options.logFile = v; });
    addValue(cli, "--stop-after", [&options](const std::string& v) {
        options.stopAfter = parsePositive("--stop-after", v);
    });
    addValue(cli, "--final-timeout", [&options](const std::string& v) {
        options.finalTimeout = parsePositive("--final-timeout", v);
    });
}

// The options, or the exit status when the command line ends the tool before it runs.
std::variant<Options, int> parseOptions(int argc, char** argv) {
    Options options;
    bool mic = false;
    tools::ToolCommandLine cli("varen-stt", kUsage);
    cli.addHelpAndVersion(versionLine());
    declareSettings(cli, options);
    declareRun(cli, options, mic);
    const auto outcome = cli.parse(std::vector<std::string>(argv + 1, argv + argc));
    if (outcome.kind != tools::CommandLineOutcome::Kind::run) return cli.reportEarlyEnd(outcome);
    if (options.inputs.size() == 1) options.input = options.inputs.front();
    const bool many = options.inputs.size() > 1;
    if (mic && !options.inputs.empty()) {
        return cli.reportUsageError("--mic and --input exclude each other");
    }
    if (many && (options.screen || options.stopAfter)) {
        return cli.reportUsageError("--screen and --stop-after take a single input");
    }
    if (options.fast && options.inputs.empty()) {
        return cli.reportUsageError("--fast goes with --input");
    }
    try {
        options.proxy = chosenProxy(options);
    } catch (const UsageError& error) {
        return cli.reportUsageError(error.what());
    }
    return options;
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
        if (options.input) duration_ = platform::audioFileDuration(*options.input);
        started_ = std::chrono::steady_clock::now();
    }

    void varenSTTManagerDidRecognizeAudioWith(
        VarenSTTManager& manager, const std::vector<VarenSTTHypothesis>& hypotheses) override {
        if (options_.json) {
            emit({{"event", "final"}, {"hypotheses", tools::hypothesesJson(hypotheses)}});
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

    void varenSTTManagerDidResume(VarenSTTManager&, std::int64_t attempt) override {
        if (options_.json) emit({{"event", "resume"}, {"attempt", attempt}});
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
        // On the main loop, like every delegate call: `main` waits in its run.
        platform::RunLoop::main()->stop();
    }

    // One status line, rewritten in place: progress, level meter, partial text. Only a person
    // at a terminal reads it; in a file or a pipe it would be noise, 20 lines a second.
    void redraw() {
        if (options_.screen || !stdoutIsTerminal_) return;
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
        line += tools::levelMeter(level_) + " " + partial_;
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
    float level_ = tools::kSilentLevel;
    bool lineOpen_ = false;
    std::optional<int> exitStatus_;
    const bool stdoutIsTerminal_ = isatty(STDOUT_FILENO) == 1;
};

// The manager's settings that the command line gives.
void applySettings(VarenSTTManager& manager, const Options& options) {
    if (options.url) manager.setDecoderUrl(*options.url);
    if (options.key) manager.setApiKey(*options.key);
    if (options.model) manager.setLanguageModel(*options.model);
    if (options.prompt) manager.setPrompt(*options.prompt);
    if (options.maxResults) manager.setMaxResults(*options.maxResults);
    if (options.minSilence) manager.setMinSilence(*options.minSilence);
    if (options.finalTimeout) manager.setFinalResultTimeout(*options.finalTimeout);
    if (options.pingInterval) manager.setPingInterval(*options.pingInterval);
    if (options.resumeAttempts) manager.setResumeAttempts(*options.resumeAttempts);
    if (options.proxy) manager.setProxyUrl(*options.proxy);
}

// The audio source, and the record permission when it is to be refused.
void prepareAudio(const Options& options) {
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
}

// The library's log lines go to stderr only when asked for, and to a file when one is named:
// otherwise they would land in the middle of the status line. False when the file cannot be
// opened.
bool routeLibraryLogs(const Options& options) {
    std::shared_ptr<std::ofstream> file;
    if (options.logFile) {
        file = std::make_shared<std::ofstream>(*options.logFile, std::ios::app);
        if (!*file) return false;
    }
    setLogHandler([file, verbose = options.verbose](LogLevel, std::string_view line) {
        if (verbose) std::cerr << line << std::endl;
        if (file) *file << line << std::endl;
    });
    return true;
}

// Several inputs: each its own recognition, through the Recognizer rather than the one shared
// manager.
int recognizeEach(const Options& options) {
    tools::BatchSettings batch;
    if (options.url) batch.recognizer.url = *options.url;
    if (options.key) batch.recognizer.apiKey = *options.key;
    if (options.model) batch.recognizer.model = *options.model;
    if (options.maxResults) batch.recognizer.maxResults = *options.maxResults;
    if (options.minSilence) batch.recognizer.minSilence = *options.minSilence;
    if (options.finalTimeout) batch.recognizer.finalResultTimeout = *options.finalTimeout;
    if (options.pingInterval) batch.recognizer.pingInterval = *options.pingInterval;
    if (options.resumeAttempts) batch.recognizer.resumeAttempts = *options.resumeAttempts;
    if (options.proxy) batch.recognizer.proxyUrl = *options.proxy;
    batch.inputs = options.inputs;
    batch.jobs = options.jobs;
    batch.speed = options.fast ? 10.0 : 1.0;
    batch.json = options.json;
    const int status = tools::runBatch(batch);
    varen::shutdown();
    std::cout.flush();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = parseOptions(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    const Options options = std::get<Options>(std::move(parsed));
    if (!routeLibraryLogs(options)) {
        std::cerr << "varen-stt: cannot write the log file " << options.logFile->string() << "\n";
        return 2;
    }
    if (options.inputs.size() > 1) return recognizeEach(options);
    auto manager = VarenSTTManager::shared();
    applySettings(*manager, options);
    prepareAudio(options);

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

    // Runs until the presenter stops the loop, waking only for work: a run loop that polled
    // would cost a wake-up every few milliseconds for as long as the recording lasts.
    while (!presenter->finished()) platform::RunLoop::main()->run();
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
