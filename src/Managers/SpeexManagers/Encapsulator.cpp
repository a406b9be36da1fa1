#include "Managers/SpeexManagers/Encapsulator.h"

#include <speex/speex.h>

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

#include "Managers/SpeexManagers/SpeexCodec.h"
#include "varenstt/Platform/Documents.h"
#include "varenstt/Platform/Log.h"

namespace varen {

namespace fs = std::filesystem;

namespace {

using audio::kFrameSamples;
// An idle loop looks again once a frame's worth of audio can have arrived.
constexpr auto kIdlePoll = audio::kFrameDuration;
// One half-second capture buffer: the most frames encoded before their packets are sent.
constexpr auto kBurstFrames = static_cast<std::size_t>(audio::kFramesPerSecond / 2);

// True from the first use of the notification centre here until just before it is destroyed at
// exit: an encapsulator still held by a process-wide object then outlives the centre and must not
// touch it any more.
std::atomic<bool> centerAlive{false};

struct CenterLifetime {
    CenterLifetime() { centerAlive.store(true); }
    ~CenterLifetime() { centerAlive.store(false); }
};

platform::NotificationCenter& notificationCenter() {
    auto& center = platform::NotificationCenter::defaultCenter();
    // Built after the centre, so destroyed before it.
    static CenterLifetime lifetime;
    return center;
}

// Creates the missing folders of `folder`, each readable by its owner only.
void createPrivateFolders(const fs::path& folder) {
    std::error_code error;
    if (folder.empty() || fs::exists(folder, error)) return;
    createPrivateFolders(folder.parent_path());
    ::mkdir(folder.c_str(), 0700);
}

std::uint32_t randomSerialSource() {
    std::random_device device;
    return static_cast<std::uint32_t>(device());
}

}  // namespace

// ---- EncapsulatingOperation ----

std::shared_ptr<EncapsulatingOperation> EncapsulatingOperation::initWithParent(
    std::shared_ptr<Encapsulator> parent) {
    return std::make_shared<EncapsulatingOperation>(std::move(parent));
}

EncapsulatingOperation::EncapsulatingOperation(std::shared_ptr<Encapsulator> parent)
    : mParent(std::move(parent)),
      fileName_(mParent->mFileName_),
      stream_(streamSerialNumberFrom(randomSerialSource())) {}

bool EncapsulatingOperation::isRunningOnCurrentThread() const {
    return runningThread_.load() == std::this_thread::get_id();
}

void EncapsulatingOperation::main() {
    runningThread_.store(std::this_thread::get_id());
    // Held for the whole run even if the parent is discarded meanwhile.
    const auto parent = mParent;

    SpeexCodec codec;
    codec.open(audio::kSpeexQuality);
    std::vector<Data> burst;
    burst.reserve(kBurstFrames);
    if (!parent->isCanceled()) {
        for (;;) {
            encodeWaitingFrames(*parent, codec, burst);
            if (!burst.empty()) {
                handOn(*parent, burst);
            } else if (!parent->moreDataInputing()) {
                // Input has ended and the queue is empty: no frame can come any more. Checked
                // before, not after, the idle poll, so frames queued during the last poll are
                // still encoded and a drained run ends at once.
                break;
            } else {
                std::this_thread::sleep_for(kIdlePoll);
            }
            // The queue-level cancel ends a run too, so a reset never waits for a live one.
            if (cancelled(*parent)) break;
        }
    }
    codec.close();

    // Packets already handed to the server belong in the file, cancelled run or not; only frames
    // still waiting are dropped.
    while (outputAPageEndOfSteam(false, true)) {
    }
    file_.reset();  // the recording is complete
    if (!parent->isCanceled() && !isCancelled()) {
        notificationCenter().post(Encapsulator::kEncapsulatingOverNotification, this);
    }
    runningThread_.store(std::thread::id{});
    // Nothing of the run needs the parent any more; dropping it breaks the reference cycle.
    mParent.reset();
}

bool EncapsulatingOperation::cancelled(const Encapsulator& parent) const {
    return parent.isCanceled() || isCancelled();
}

// Every waiting frame (up to one capture buffer) is encoded before any of its packets is handed
// on: a buffer's packets then leave together in one write, where sending each as it was made woke
// the network thread for every packet or two. A cancel still ends the run after the frame in
// hand.
void EncapsulatingOperation::encodeWaitingFrames(Encapsulator& parent, SpeexCodec& codec,
                                                 std::vector<Data>& burst) {
    std::array<std::int16_t, kFrameSamples> frame{};
    while (burst.size() < kBurstFrames && parent.takeHeadFrame(frame.data())) {
        if (auto packet = codec.encode(frame.data(), kFrameSamples)) {
            burst.push_back(std::move(*packet));
        }
        if (cancelled(parent)) return;
    }
}

// Sends the packets in order, then pages them into the file.
void EncapsulatingOperation::handOn(Encapsulator& parent, std::vector<Data>& burst) {
    if (auto sink = parent.packetSink()) sink->sendAudioBurst(burst);
    for (const Data& packet : burst) inputOggPacketFromSpeexData(packet);
    burst.clear();
}

void EncapsulatingOperation::createFile() {
    file_ = RecordingFile::create(fileName_);
    if (!file_) {
        platform::log(LogLevel::error, "Recording file " + fileName_ +
                                           " could not be created: " + std::strerror(errno) +
                                           "; the recognition goes on without it");
        reportedFileFailure_ = true;
        return;
    }
    fileName_ = file_->path();
    mParent->mFileName_ = fileName_;
}

void EncapsulatingOperation::writeHeaderWithComment(const std::string& comment) {
    if (!mParent) return;  // the run is over
    if (!file_ && !reportedFileFailure_) createFile();
    mPacketCount = 0;
    mGranulepos = 0;
    stream_.submit(speexHeaderPacket(mParent->speexHeader_), true, 0, mPacketCount++);
    outputAPageEndOfSteam(true, false);
    stream_.submit(speexCommentPacket(comment), false, 0, mPacketCount++);
    outputAPageEndOfSteam(true, false);
}

void EncapsulatingOperation::inputOggPacketFromSpeexData(const Data& packet) {
    mGranulepos += kFrameSamples;
    stream_.submit(packet, false, mGranulepos, mPacketCount++);
    checkPageSufficient();
}

void EncapsulatingOperation::checkPageSufficient() {
    while (outputAPageEndOfSteam(false, false)) {
    }
}

bool EncapsulatingOperation::outputAPageEndOfSteam(bool flush, bool endOfStream) {
    if (!mParent) return false;  // the run is over
    Data& page = mParent->bufferData;
    if (!stream_.takePage(flush || endOfStream, page)) return false;
    writeDataToFile(page);
    page.clear();
    return true;
}

void EncapsulatingOperation::writeDataToFile(const Data& bytes) {
    if (!file_ || file_->append(bytes) || reportedFileFailure_) return;
    reportedFileFailure_ = true;
    platform::log(LogLevel::error, "Writing the recording file " + fileName_ + " failed: " +
                                       std::strerror(errno) + "; the recognition goes on");
}

// ---- Encapsulator ----

std::string Encapsulator::defaultFileName() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return defaultFileNameAtTime(std::chrono::duration<double>(now).count());
}

std::string Encapsulator::defaultFileNameAtTime(double secondsSince1970) {
    const auto folder = platform::documentsDirectory() / "voice";
    createPrivateFolders(folder);
    return RecordingFile::reserve((folder / recordingFileNameAt(secondsSince1970)).string());
}

std::shared_ptr<Encapsulator> Encapsulator::initWithFileName(const std::string& path) {
    auto encapsulator = std::make_shared<Encapsulator>(ConstructionTag{});
    encapsulator->mFileName_ = path;
    encapsulator->deleteFileAt(path);

    // The observer may still be called while the encapsulator goes away, hence the weak link.
    std::weak_ptr<Encapsulator> weak = encapsulator;
    encapsulator->observer_ =
        notificationCenter().addObserver(kEncapsulatingOverNotification, nullptr,
                                         [weak](const platform::Notification& notification) {
                                             if (auto self = weak.lock())
                                                 self->encapsulatingOver(notification);
                                         });
    encapsulator->setModeSampleRateChannelsFramesVbr(
        audio::kSpeexMode, audio::kSampleRate, audio::kChannels, audio::kFramesPerPacket, true);
    speex_init_header(&encapsulator->speexHeader_, audio::kSampleRate, audio::kChannels,
                      &speex_nb_mode);
    encapsulator->operationQueue = platform::OperationQueue::create();
    return encapsulator;
}

Encapsulator::Encapsulator(ConstructionTag) {}

Encapsulator::~Encapsulator() {
    if (observer_ && centerAlive.load()) notificationCenter().removeObserver(observer_);
}

void Encapsulator::resetWithFileName(const std::string& path) {
    operationQueue->cancelAllOperations();
    waitForPreviousRun();
    mFileName_ = path;
    deleteFileAt(path);
    bufferData.clear();
    std::lock_guard lock(pcmDatasLock_);
    tempData.clear();
    pcmDatas.clear();
}

void Encapsulator::setModeSampleRateChannelsFramesVbr(std::int32_t mode, std::int32_t sampleRate,
                                                      std::int32_t channels, std::int32_t frames,
                                                      bool vbr) {
    setMode(mode);
    setSampleRate(sampleRate);
    setChannels(channels);
    setNframes(frames);
    setVbr(vbr);
}

void Encapsulator::prepareForEncapsulating() {
    waitForPreviousRun();
    moreDataInputing_.store(true);
    isCanceled_.store(false);

    auto operation = EncapsulatingOperation::initWithParent(shared_from_this());
    encapsulationOperation_ = operation;
    // Both header pages are in the file before the loop can page its first audio packet.
    operation->writeHeaderWithComment(kComment);
    operationQueue->addOperation(operation);
}

void Encapsulator::inputPCMDataFromBuffer(const void* buffer, std::uint32_t size) {
    if (!moreDataInputing_.load() || buffer == nullptr || size == 0) return;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);

    std::lock_guard lock(pcmDatasLock_);
    tempData.insert(tempData.end(), bytes, bytes + size);
    std::size_t cut = 0;
    while (tempData.size() - cut >= kFrameBytes) {
        const auto start = tempData.begin() + static_cast<std::ptrdiff_t>(cut);
        pcmDatas.emplace_back(start, start + kFrameBytes);
        cut += kFrameBytes;
    }
    tempData.erase(tempData.begin(), tempData.begin() + static_cast<std::ptrdiff_t>(cut));
}

void Encapsulator::stopEncapsulating(bool cancel) {
    moreDataInputing_.store(false);
    if (!isCanceled_.load()) isCanceled_.store(cancel);
}

void Encapsulator::encapsulatingOver(const platform::Notification&) {
    if (auto delegate = delegete()) delegate->encapsulatingOver();
}

std::deque<Data> Encapsulator::getPCMDatas() {
    std::lock_guard lock(pcmDatasLock_);
    return pcmDatas;
}

std::size_t Encapsulator::pendingFrameCount() {
    std::lock_guard lock(pcmDatasLock_);
    return pcmDatas.size();
}

Data Encapsulator::getTempData() {
    std::lock_guard lock(pcmDatasLock_);
    return tempData;
}

bool Encapsulator::takeHeadFrame(std::int16_t* samples) {
    std::lock_guard lock(pcmDatasLock_);
    if (pcmDatas.empty()) return false;
    std::memcpy(samples, pcmDatas.front().data(), kFrameBytes);
    pcmDatas.pop_front();
    return true;
}

void Encapsulator::waitForPreviousRun() {
    const auto previous = encapsulationOperation_;
    // Called from the delegate's callback on the loop's own thread: the run is past its last use
    // of this object, and waiting would never end.
    if (!previous || previous->isRunningOnCurrentThread()) return;
    // A run still accepting input would never leave on its own.
    if (moreDataInputing_.load()) previous->cancel();
    previous->waitUntilFinished();
    previous->releaseParent();
}

void Encapsulator::deleteFileAt(const std::string& path) {
    std::error_code error;
    if (fs::exists(path, error)) fs::remove(path, error);
}

}  // namespace varen
