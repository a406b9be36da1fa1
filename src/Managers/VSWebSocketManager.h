#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
};

// Text encodings understood by `decodeFromHexWithEncoding`.
enum class StringEncoding { ASCII, UTF8, ISOLatin1 };

// The client side of the recognition service protocol: one process-wide object that opens a
// WebSocket to the shared manager's service URL, sends the start command, streams Speex packets
// and the stop command, and turns the server's JSON answers into recognition events.
//
// Thread safety: `sendAudioData` runs on the encoding thread and `forceCloseStream` on the thread
// that stops capture, while the main queue replaces `socket` when a connection opens; `socket`
// and `recognitionDelegate` are atomic references. Every socket callback, and so every
// recognition event, arrives on the main queue.
class VSWebSocketManager : public SRWebSocketDelegate,
                           public std::enable_shared_from_this<VSWebSocketManager> {
  public:
    static std::shared_ptr<VSWebSocketManager> sharedManager();
    VSWebSocketManager() = default;

    // Starts a new connection; always true. Without a usable service URL the recognition
    // delegate is told "Invalid service URL" on the main queue instead.
    bool openStream();
    // One encoded audio chunk: sent as one binary message while the socket is open.
    void sendAudioData(const Data& chunk);
    // Sends the stop command on an open socket, else closes it.
    void forceCloseStream();
    void startStreaming();

    std::shared_ptr<VSRecognitionDelegate> recognitionDelegate() const {
        return recognitionDelegate_.load();
    }
    void setRecognitionDelegate(std::shared_ptr<VSRecognitionDelegate> delegate) {
        recognitionDelegate_.store(std::move(delegate));
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
    void sendStartCommand(SRWebSocket& webSocket);
    void handleServerMessage(const std::string& text);
    void reportFinalResult(const nlohmann::json& message);
    void reportFailure(const Error& error);

    std::atomic<std::shared_ptr<SRWebSocket>> socket_;
    std::atomic<std::shared_ptr<VSRecognitionDelegate>> recognitionDelegate_;
    // Main queue only: the connection the last openStream started, and whether it has already
    // ended in a result or a failure.
    bool isUnfinishedLatestConnection(const SRWebSocket& webSocket) const;
    std::weak_ptr<SRWebSocket> latestSocket_;
    bool connectionFinished_ = false;
};

// The start command for the given settings, member by member as the server expects it.
std::string startCommandText(std::int64_t maxResults, float minSilence);

// The stop command: {"decoding":"stop"}.
const std::string& stopCommandText();

// A recognition failure: domain "Recognition", code 0, {"message": text}.
Error recognitionError(const std::string& message);

}  // namespace varen
