#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Managers/RecognitionSettings.h"
#include "Managers/SpeexManagers/AudioFormat.h"
#include "Managers/SpeexManagers/AudioPacketSink.h"
#include "Managers/VSRecognitionProtocol.h"
#include "Platform/Threads/SharedSlot.h"
#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/Error.h"
#include "varenstt/SRWebSocket.h"
#include "varenstt/VarenSTTHypothesis.h"

namespace varen {

class VSWebSocketManager;

// Receives the recognition events of the stream client, on the main queue.
class VSRecognitionDelegate {
  public:
    virtual ~VSRecognitionDelegate() = default;
    // The server reported status "ready"; the argument is always none.
    virtual void socketManagerCanStartRecordingAudio(VSWebSocketManager& manager,
                                                     std::nullptr_t) = 0;
    virtual void socketManagerDidRecognizePartialText(VSWebSocketManager& manager,
                                                      const std::string& text) = 0;
    virtual void socketManagerDidRecognizeAudioWithText(
        VSWebSocketManager& manager, const std::vector<VarenSTTHypothesis>& hypotheses) = 0;
    virtual void socketManagerDidFailToRecognizeAudioWithError(VSWebSocketManager& manager,
                                                               const Error& error) = 0;
    // A new connection has taken over the run and replayed its audio.
    virtual void socketManagerDidResume(VSWebSocketManager& manager, std::int64_t attempt) {
        (void)manager, (void)attempt;
    }
};

// Text encodings understood by `decodeFromHexWithEncoding`.
enum class StringEncoding { ASCII, UTF8, ISOLatin1 };

// The client side of the recognition service protocol: one process-wide object that opens a
// WebSocket to the shared manager's service URL, sends the start command, streams Speex packets
// and the stop command, and turns the server's JSON answers into recognition events.
//
// Each `openStream` makes a connection that belongs to the run that opened it (the recognition
// delegate registered at that moment). Packets and a stop given while it is still being made
// are kept and sent, in order, right after the start command once it opens. Events of a
// connection that a newer `openStream` (or a newer delegate) has superseded are logged and
// change nothing. A connection ends in one outcome for its run: a final result, or one failure
// (a server status, the socket's own error, "Connection closed before the final result", or
// "No final result from the server" once `finalResultTimeout` has passed after the stop).
//
// With `resumeAttempts` set, a run keeps every packet it sends (up to ten minutes of audio). When
// its connection drops before the final result (a stream error or end, an unclean close, a
// handshake that fails on the network or times out, a missed pong) a new connection opens after
// a back-off of 0.25 s, 0.5 s, 1 s and so on, sends the start command, replays the run's audio
// from its start, then goes on live. The server's own answers and TLS or pinning failures never
// resume; the run fails with the last error once the attempts in a row are used up.
//
// Thread safety: `sendAudioData` runs on the encoding thread and `forceCloseStream` on the thread
// that stops capture, while the main queue replaces the current connection; `connection_`,
// `socket` and `recognitionDelegate` are shared slots read and replaced whole, and a run's kept
// packets, its live connection and its stop request are guarded by the run's own mutex. Every
// socket callback, and so every recognition event, arrives on the main queue.
class VSWebSocketManager : public SRWebSocketDelegate,
                           public AudioPacketSink,
                           public std::enable_shared_from_this<VSWebSocketManager> {
  public:
    // At most the open timeout's worth of packets waits for a connection to open.
    static constexpr std::size_t kMaxEarlyPackets =
        recognition::kMaxEarlyAudio.count() * audio::kFramesPerSecond;
    static constexpr std::size_t kMaxReplayPackets =
        recognition::kMaxReplayAudio.count() * audio::kFramesPerSecond;
    // The wait before the given resume attempt (1 for the first).
    static std::chrono::milliseconds resumeBackoff(std::int64_t attempt);

    static std::shared_ptr<VSWebSocketManager> sharedManager();
    VSWebSocketManager() = default;
    // A stream client of its own, for a run that is not the shared manager's: it reads `settings`
    // instead of the shared manager's, and its sockets' callbacks and its recognition events
    // arrive on `events` instead of the main queue.
    VSWebSocketManager(std::shared_ptr<const RecognitionSettings> settings,
                       std::shared_ptr<platform::DispatchQueue> events)
        : ownSettings_(std::move(settings)), ownEventQueue_(std::move(events)) {}

    // Starts a new connection for the current recognition delegate; always true. Without a
    // usable service URL (or proxy URL) the delegate is told "Invalid service URL" ("Invalid
    // proxy URL") on the main queue instead.
    bool openStream();
    // One encoded audio chunk: sent as one binary message while the connection is open, kept
    // while it is being made, dropped once it has ended.
    void sendAudioData(const Data& chunk) override;
    // The chunks of one capture buffer, each as `sendAudioData`, written out together.
    void sendAudioBurst(const std::vector<Data>& chunks) override;
    // Sends the stop command on an open connection (at once, or as soon as it opens), else
    // closes it.
    void forceCloseStream();
    // The same, only when the current connection belongs to `run`: a run never stops another
    // run's connection.
    void forceCloseStreamOfRun(const VSRecognitionDelegate& run);
    void startStreaming();

    std::shared_ptr<VSRecognitionDelegate> recognitionDelegate() const {
        return recognitionDelegate_.load();
    }
    void setRecognitionDelegate(std::shared_ptr<VSRecognitionDelegate> delegate) {
        // The previous delegate may be released here; never inside the slot's own lock.
        auto previous = recognitionDelegate_.exchange(std::move(delegate));
    }
    // The last socket that reached the open state.
    std::shared_ptr<SRWebSocket> socket() const { return socket_.load(); }

    static std::string decodeFromHexWithEncoding(const std::string& text, StringEncoding encoding);

    void webSocketDidOpen(SRWebSocket& webSocket) override;
    void webSocketDidReceiveMessage(SRWebSocket& webSocket, const SRMessage& message) override;
    void webSocketDidFailWithError(SRWebSocket& webSocket, const Error& error) override;
    void webSocketDidCloseWithCodeReasonWasClean(SRWebSocket& webSocket, std::int64_t code,
                                                 const std::optional<std::string>& reason,
                                                 bool wasClean) override;
    bool webSocketShouldConvertTextFrameToString(SRWebSocket&) override { return true; }

  private:
    struct Connection;
    struct RunAudio;

    std::shared_ptr<Connection> currentConnectionOf(const SRWebSocket& webSocket) const;
    std::shared_ptr<SRWebSocket> makeSocket(const URL& url);
    // Tells the run, on the event queue, that it could not even make a socket; true.
    bool failWithoutSocket(const std::shared_ptr<Connection>& connection,
                           const std::string& message);
    void sendStartCommand(SRWebSocket& webSocket);
    static void sendOnStreamingSocket(SRWebSocket& webSocket, const Data& chunk);
    static void keep(RunAudio& audio, const Data& chunk);
    bool mayResume(const Connection& connection, const Error& error, bool wasClean) const;
    void scheduleResume(const std::shared_ptr<Connection>& connection, const Error& error);
    void resume(const std::shared_ptr<Connection>& dropped);
    void makeCurrent(const std::shared_ptr<Connection>& connection);
    void keepUntilConnected(const VSRecognitionDelegate* run, const Data& chunk);
    void forceClose(const std::shared_ptr<Connection>& connection);
    void armFinalResultDeadline(const std::shared_ptr<Connection>& connection);
    void handleServerMessage(Connection& connection, const std::string& text);
    void reportFinalResult(Connection& connection, const nlohmann::json& message);
    void reportFailure(Connection& connection, const Error& error);
    // A socket failure or close: the run's failure unless it already has its outcome, or a
    // resume when the run may resume.
    void reportEnd(SRWebSocket& webSocket, const Error& error, bool wasClean);

    std::shared_ptr<const RecognitionSettings> settings() const;
    std::shared_ptr<platform::DispatchQueue> eventQueue() const;

    const std::shared_ptr<const RecognitionSettings> ownSettings_;
    const std::shared_ptr<platform::DispatchQueue> ownEventQueue_;
    platform::SharedSlot<Connection> connection_;
    // Packets of the current run captured before its connection was made.
    std::mutex awaitingLock_;
    std::deque<Data> awaitingConnection_;
    const VSRecognitionDelegate* awaitingRun_ = nullptr;
    platform::SharedSlot<SRWebSocket> socket_;
    platform::SharedSlot<VSRecognitionDelegate> recognitionDelegate_;
};

// The start command for the given settings, member by member as the server expects it.
std::string startCommandText(std::int64_t maxResults, float minSilence);

// The stop command: {"decoding":"stop"}.
const std::string& stopCommandText();

// A recognition failure: domain "Recognition", code 0, {"message": text}.
Error recognitionError(const std::string& message);

}  // namespace varen
