#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "varenstt/Export.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/Error.h"
#include "varenstt/VarenSTTHypothesis.h"

namespace varen {

// A C++ face over the same capture, encoding and streaming modules as VarenSTTManager. Unlike the
// shared manager, each Recognizer is one run of its own, with its own settings, connection and
// recording file, and several can run at once. It needs no main run loop: a host without one
// waits on `result()`.

struct RecognizerOptions {
    std::string url = "ws://localhost:8390/ws/client/speech";  // the decoder URL
    std::string apiKey;
    std::string model = "it-IT_8k";
    std::int64_t maxResults = 1;
    float minSilence = 2.0f;         // end-pointing silence in seconds; 0 turns it off
    double finalResultTimeout = 30;  // seconds after the stop; 0: none
    // Network resilience, as VarenSTTManager's settings of the same names: resume attempts in a
    // row after a dropped connection, keep-alive pings, an HTTP proxy. Off by default.
    std::int64_t resumeAttempts = 0;
    double pingInterval = 0;
    std::string proxyUrl;
    // Callbacks run on the main run loop (`RunLoop::main()`, which the host runs) instead of a
    // thread the library runs for them.
    bool callbacksOnMainRunLoop = false;
};

struct Recognition {
    std::vector<VarenSTTHypothesis> hypotheses;
    std::filesystem::path recordingPath;  // the run's Ogg Speex recording
};

// Where a run's audio comes from.
class VARENSTT_API AudioInput {
  public:
    // The default input device (the record permission is asked first).
    static AudioInput microphone();
    // A file: anything libsndfile reads, or an Ogg Speex file such as this library's own
    // recordings; mixed to mono and resampled to 8 kHz, played at `speed` times real time
    // (unpaced: `platform::AudioInputSource::kUnpaced`). The run stops by itself at its end.
    static AudioInput file(std::filesystem::path path, double speed = 10.0);
    // Audio the host hands to `Recognizer::push` at `sampleRate`, resampled to 8 kHz; the
    // Recognizer's `stop` marks its end.
    static AudioInput push(std::uint32_t sampleRate);

    const platform::AudioInputSource& source() const { return source_; }

  private:
    explicit AudioInput(platform::AudioInputSource source) : source_(std::move(source)) {}
    platform::AudioInputSource source_;
};

// The error category "varenstt". A value carries the error's domain and its code in that
// domain; `errorDomain` and `errorCodeInDomain` take it apart. The library's domains map to
// distinct values, so distinct (domain, code) pairs make distinct error codes.
enum class ErrorDomain : int {
    other = 0,        // a domain the library does not know
    recognition = 1,  // "Recognition": a server status, an unusable URL, no final result
    capture = 2,      // "VarenSTT": no record permission, no audio input
    webSocket = 3,    // SRWebSocketErrorDomain
    openTimeout = 4,  // SRWebSocketTimeoutErrorDomain
    pinning = 5,      // SRWebSocketPinningErrorDomain
    stream = 6,       // the byte streams: a system error number, or a name lookup failure
    tls = 7,          // the byte streams' TLS failures
    audioStatus = 8,  // NSOSStatusErrorDomain: an audio queue status
};

VARENSTT_API const std::error_category& errorCategory();
VARENSTT_API std::error_code makeErrorCode(ErrorDomain domain, std::int64_t code);
// The error code of one of the library's errors (`Error`): its domain and code.
VARENSTT_API std::error_code makeErrorCode(const Error& error);
VARENSTT_API ErrorDomain errorDomain(std::error_code code);
VARENSTT_API std::int64_t errorCodeInDomain(std::error_code code);

// A failed recognition, as `result()` holds it: the mapped code and the library's message.
class VARENSTT_API RecognitionError : public std::system_error {
  public:
    RecognitionError(std::error_code code, const std::string& message)
        : std::system_error(code, message), message_(message) {}
    // The message alone, as the host would show it ("Invalid API key").
    const std::string& message() const { return message_; }

  private:
    std::string message_;
};

// One recognition run.
//
// Thread safety: every member may be called from any thread. Callbacks are set before `start`;
// they run one at a time, in order, on the callback thread (see RecognizerOptions). Dropping
// the Recognizer does not end its run: `cancel` does.
class VARENSTT_API Recognizer {
  public:
    static std::shared_ptr<Recognizer> create(RecognizerOptions options = {});
    ~Recognizer();
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;

    void onPartial(std::function<void(std::string_view text)> callback);
    void onFinal(std::function<void(const Recognition& recognition)> callback);
    void onLevel(std::function<void(float decibels)> callback);
    void onError(std::function<void(std::error_code code, std::string_view message)> callback);
    // The run goes on over a new connection (with `resumeAttempts`); `attempt` in a row.
    void onResume(std::function<void(std::int64_t attempt)> callback);

    // Starts the run; a Recognizer runs once (a second start is a programming error and throws
    // std::logic_error).
    void start(AudioInput input);
    // With a push input: more samples, from any thread.
    void push(const std::int16_t* samples, std::size_t count);
    // Ends the audio; the final result still comes.
    void stop();
    // Ends the run: nothing more comes, neither a final result nor an error; `result()` holds a
    // RecognitionError in the recognition domain, "Cancelled".
    void cancel();
    // The outcome: the recognition, or a RecognitionError. Callable once.
    std::future<Recognition> result();

  private:
    struct VARENSTT_LOCAL Run;
    explicit Recognizer(std::shared_ptr<Run> run);
    const std::shared_ptr<Run> run_;
};

// Recognises a whole file, played at ten times real time, and hands back its outcome.
VARENSTT_API std::future<Recognition> recognizeFile(std::filesystem::path path,
                                                    RecognizerOptions options = {});

}  // namespace varen
