// The server's side of the recognition protocol as pure functions: the request target, the
// client's commands and the JSON texts the server sends. No I/O, no threads.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace varen::server {

// The only path that upgrades to a recognition session.
inline constexpr std::string_view kSpeechPath = "/ws/client/speech";

// The one audio type the server decodes: Speex narrowband, 8 kHz, one packet per message.
inline constexpr std::string_view kAudioType = "speex;nb;8";

// Upper bound of "n-best": the n-best search is cut off there whatever the client asks.
inline constexpr int kMaxAlternatives = 20;

// Percent-decodes a query component. A "%" not followed by two hex digits stays as it is; "+"
// stays a plus sign (the client inserts its settings unescaped).
std::string percentDecode(std::string_view text);

// The path and the decoded query parameters of a request target ("/p?a=1&b=2"). A parameter
// that appears twice keeps its first value; one without "=" has the empty value.
struct RequestTarget {
    std::string path;
    std::map<std::string, std::string> query;
};
RequestTarget parseRequestTarget(std::string_view target);

// What happens to the connection after a final result.
enum class ConnectionMode {
    onStopClose,  // the server closes the connection after the final result
    keepAlive,    // the session stays open for further utterances
};

// The options of a start command, with the values used when a member is absent.
struct StartOptions {
    double tracebackPeriod = 0.2;  // seconds of audio between partial results; 0: none
    double timeout = 10.0;  // seconds without a message before the server gives up; 0: the server's
    int nBest = 1;          // alternatives in the final result, 1 to kMaxAlternatives
    bool doEndpointing = false;
    double minSilence = 2.0;  // seconds of silence after speech that end an utterance
    ConnectionMode connectionMode = ConnectionMode::onStopClose;
};

// The ranges a start command's numbers must lie in; a command with a number outside is refused.
// The server's own idle timeout caps "timeout" whatever the client asks.
struct SecondsRange {
    double low;
    double high;
};
inline constexpr SecondsRange kTracebackPeriodRange{0.0, 60.0};
inline constexpr SecondsRange kTimeoutRange{0.0, 86400.0};
inline constexpr SecondsRange kMinSilenceRange{0.0, 600.0};
// The library passes its host's integer setting unchecked: anything an int holds is bounded to
// 1..kMaxAlternatives rather than refused.
inline constexpr double kNBestLimit = 2147483647.0;

struct StartCommand {
    StartOptions options;
};
struct StopCommand {};

// A text message of the client: a command, or the text of the error status that answers it.
struct CommandError {
    std::string message;
};
using Command = std::variant<StartCommand, StopCommand, CommandError>;
Command parseCommand(std::string_view text);

// Server messages.
std::string readyMessage();
// {"status": status} with an "error" member when error is given.
std::string statusMessage(std::string_view status, std::optional<std::string_view> error = {});
std::string errorMessage(std::string_view error);
std::string partialMessage(std::string_view transcript);
std::string finalMessage(const std::vector<std::string>& transcripts, double confidence);

}  // namespace varen::server
