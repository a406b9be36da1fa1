#pragma once

#include <speex/speex_header.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Managers/SpeexManagers/AudioFormat.h"
#include "Managers/SpeexManagers/AudioPacketSink.h"
#include "Managers/SpeexManagers/OggSpeexStream.h"
#include "varenstt/Platform/Data.h"
#include "varenstt/Platform/NotificationCenter.h"
#include "varenstt/Platform/OperationQueue.h"

namespace varen {

class Encapsulator;
class SpeexCodec;

// Told when a recording's encoding has ended normally (drained, not cancelled).
class EncapsulatingDelegate {
  public:
    virtual ~EncapsulatingDelegate() = default;
    // Runs on the encoding operation's thread.
    virtual void encapsulatingOver() = 0;
};

// The encoding loop of one recording: encodes the queued PCM frames, hands their packets in
// order to the parent's packet sink and pages them into the recording's Ogg file.
//
// Thread safety: created on the caller's thread, which also writes the two header pages before
// the operation is queued; from then on only the operation's own thread touches its stream and
// counters. `cancel` (the queue-level cancel) may come from any thread and ends the loop like a
// cancel of the recording.
class EncapsulatingOperation : public platform::Operation {
  public:
    static std::shared_ptr<EncapsulatingOperation> initWithParent(
        std::shared_ptr<Encapsulator> parent);
    explicit EncapsulatingOperation(std::shared_ptr<Encapsulator> parent);

    void main() override;

    // Submits the header and the comment packet, each forced out on a page of its own, and
    // writes both pages to the file.
    void writeHeaderWithComment(const std::string& comment);
    void inputOggPacketFromSpeexData(const Data& packet);
    void checkPageSufficient();
    // Writes one page when one is due (or, with either flag, whatever is pending); gives whether
    // it wrote one. The stream never gets an end-of-stream mark: the flags only force the page.
    bool outputAPageEndOfSteam(bool flush, bool endOfStream);
    void writeDataToFile(const Data& bytes);

    std::int32_t serialNumber() const { return stream_.serialNumber(); }
    // True on the thread that runs `main`, while it runs.
    bool isRunningOnCurrentThread() const;

  private:
    friend class Encapsulator;
    // Frees the parent once no run can use it any more; breaks the parent/operation cycle.
    void releaseParent() { mParent.reset(); }

    // The loop's steps, on the operation's thread.
    bool cancelled(const Encapsulator& parent) const;
    void encodeWaitingFrames(Encapsulator& parent, SpeexCodec& codec, std::vector<Data>& burst);
    void handOn(Encapsulator& parent, std::vector<Data>& burst);

    std::shared_ptr<Encapsulator> mParent;
    // Creates the recording's file; a name taken meanwhile moves it to the next free one.
    void createFile();

    // The file of this recording, fixed when the run is created so that a later reset of the
    // parent can never make a finishing run write into the next recording's file. It is open
    // from the header pages to the end of the run.
    std::string fileName_;
    std::optional<RecordingFile> file_;
    bool reportedFileFailure_ = false;
    OggSpeexStream stream_;
    std::int64_t mPacketCount = 0;
    std::int64_t mGranulepos = 0;
    std::atomic<std::thread::id> runningThread_{};
};

// Cuts captured PCM into 20 ms frames and runs one encoding operation per recording, which sends
// each Speex packet to the recognition server and appends the Ogg Speex pages to a local file.
//
// A recording: `initWithFileName` (or `resetWithFileName` for a later one), then
// `prepareForEncapsulating`, PCM through `inputPCMDataFromBuffer`, and `stopEncapsulating` with
// false to drain every queued frame (the delegate is told when done) or with true to drop the
// frames still queued. Either way the packets already encoded end up in the file.
//
// Thread safety: `initWithFileName`, `resetWithFileName`, the stream-parameter setters,
// `prepareForEncapsulating` and `stopEncapsulating` run on one caller thread;
// `inputPCMDataFromBuffer` runs on the audio thread; the operation runs on its own thread and
// calls the delegate and the packet sink there. `tempData` and `pcmDatas` are guarded by one
// mutex, held only while they are changed or read and never while another lock is taken.
// `moreDataInputing`, `isCanceled`, `delegete` and the packet sink are atomic.
// `resetWithFileName` and `prepareForEncapsulating` wait for the previous run to leave its loop,
// so at most one loop runs and it never sees the file name, page scratch or frame queue change
// under it.
class Encapsulator : public std::enable_shared_from_this<Encapsulator> {
  public:
    static constexpr const char* kEncapsulatingOverNotification = "EncapsulatingOver";
    static constexpr const char* kComment = "Encoded with:test by pelmo ";
    static constexpr std::size_t kFrameBytes = audio::kFrameBytes;

    // A fresh recording path in the "voice" folder of the documents folder (created 0700 when
    // missing): "<seconds>.spx", or "<seconds>-1.spx" and so on when that name is taken. The name
    // is held by an empty file until the recording replaces it.
    static std::string defaultFileName();
    static std::string defaultFileNameAtTime(double secondsSince1970);

    // Deletes a file already at `path`.
    static std::shared_ptr<Encapsulator> initWithFileName(const std::string& path);
    // Only `initWithFileName` builds one (the tag keeps the constructor out of other hands).
    struct ConstructionTag {
      private:
        friend class Encapsulator;
        ConstructionTag() = default;
    };
    explicit Encapsulator(ConstructionTag);
    ~Encapsulator();
    Encapsulator(const Encapsulator&) = delete;
    Encapsulator& operator=(const Encapsulator&) = delete;

    // Ends a previous run (queue-level cancel, waiting until it has left), switches to `path`
    // (deleting a file there) and empties the buffers. The flags are left as they are.
    void resetWithFileName(const std::string& path);
    void setModeSampleRateChannelsFramesVbr(std::int32_t mode, std::int32_t sampleRate,
                                            std::int32_t channels, std::int32_t frames, bool vbr);
    // Starts a run: accepts PCM, writes the two header pages, then queues the operation.
    void prepareForEncapsulating();
    // Appends PCM and queues every whole 320-byte frame; dropped while input is not accepted.
    void inputPCMDataFromBuffer(const void* buffer, std::uint32_t size);
    // Stops accepting PCM; with `cancel` the run also ends after the frame in hand. A cancel is
    // never undone by a later call with false.
    void stopEncapsulating(bool cancel);
    void encapsulatingOver(const platform::Notification& notification);

    Data& getBufferData() { return bufferData; }
    std::deque<Data> getPCMDatas();
    // The number of whole frames waiting, without copying them.
    std::size_t pendingFrameCount();
    // The bytes waiting for a whole frame (a copy, taken under the frame lock).
    Data getTempData();

    bool moreDataInputing() const { return moreDataInputing_.load(); }
    void setMoreDataInputing(bool value) { moreDataInputing_.store(value); }
    bool isCanceled() const { return isCanceled_.load(); }
    void setIsCanceled(bool value) { isCanceled_.store(value); }
    std::int32_t mode() const { return mode_; }
    void setMode(std::int32_t value) { mode_ = value; }
    std::int32_t sampleRate() const { return sampleRate_; }
    void setSampleRate(std::int32_t value) { sampleRate_ = value; }
    std::int32_t channels() const { return channels_; }
    void setChannels(std::int32_t value) { channels_ = value; }
    std::int32_t nframes() const { return nframes_; }
    void setNframes(std::int32_t value) { nframes_ = value; }
    bool vbr() const { return vbr_; }
    void setVbr(bool value) { vbr_ = value; }
    std::int32_t streamSeraialNmber() const { return streamSeraialNmber_; }
    void setStreamSeraialNmber(std::int32_t value) { streamSeraialNmber_ = value; }
    SpeexHeader speexHeader() const { return speexHeader_; }
    std::string mFileName() const { return mFileName_; }
    std::shared_ptr<EncapsulatingDelegate> delegete() const { return delegete_.load().lock(); }
    void setDelegete(const std::shared_ptr<EncapsulatingDelegate>& value) {
        delegete_.store(value);
    }
    // Receives every encoded packet; held weakly. Without one, packets only go to the file.
    std::shared_ptr<AudioPacketSink> packetSink() const { return packetSink_.load().lock(); }
    void setPacketSink(const std::shared_ptr<AudioPacketSink>& sink) { packetSink_.store(sink); }
    std::shared_ptr<EncapsulatingOperation> encapsulationOperation() const {
        return encapsulationOperation_;
    }

  private:
    friend class EncapsulatingOperation;

    // Copies the head frame out and removes it; false when none is waiting.
    bool takeHeadFrame(std::int16_t* samples);
    void waitForPreviousRun();
    void deleteFileAt(const std::string& path);

    Data bufferData;
    Data tempData;
    std::deque<Data> pcmDatas;
    std::mutex pcmDatasLock_;
    std::shared_ptr<platform::OperationQueue> operationQueue;
    std::shared_ptr<EncapsulatingOperation> encapsulationOperation_;
    std::string mFileName_;
    std::int32_t mode_ = 0;
    std::int32_t sampleRate_ = 0;
    std::int32_t channels_ = 0;
    std::int32_t nframes_ = 0;
    bool vbr_ = false;
    std::int32_t streamSeraialNmber_ = 0;
    std::atomic<bool> moreDataInputing_{false};
    std::atomic<bool> isCanceled_{false};
    SpeexHeader speexHeader_{};
    std::atomic<std::weak_ptr<EncapsulatingDelegate>> delegete_;
    std::atomic<std::weak_ptr<AudioPacketSink>> packetSink_;
    platform::NotificationCenter::Token observer_;
};

}  // namespace varen
