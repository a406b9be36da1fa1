#include "varenstt/Runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "Support/OggReader.h"
#include "Support/RecognitionServer.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/OperationQueue.h"
#include "varenstt/VarenSTTManager.h"

using namespace std::chrono_literals;
using varen::platform::AudioInputSource;
using varen::platform::ScriptedAudioBuffer;
using varen::test::runMainLoopUntil;

namespace {

std::vector<std::filesystem::path> recordingsIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> found;
    if (!std::filesystem::exists(folder)) return found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) found.push_back(entry.path());
    }
    return found;
}

}  // namespace

TEST(Shutdown, EndsAStreamingRunWithACompleteRecordingAndStartsAfresh) {
    varen::test::TemporaryHome home;
    varen::platform::setDefaultAudioInputSource(AudioInputSource::scripted(
        std::vector<ScriptedAudioBuffer>(100, ScriptedAudioBuffer::pcm(std::vector<std::int16_t>(
                                                  4000, 0))),
        100ms));
    // The server never answers: only shutdown ends the run.
    varen::test::RecognitionServer server(nlohmann::json::array());
    auto manager = varen::VarenSTTManager::shared();
    const std::weak_ptr<varen::VarenSTTManager> first = manager;
    manager->setDecoderUrl(server.decoderUrl());
    manager->startRecognize();
    ASSERT_TRUE(runMainLoopUntil([&] { return server.binaryMessages().size() >= 2; }));
    manager.reset();

    varen::shutdown();
    varen::shutdown();

    EXPECT_TRUE(first.expired());
    const auto files = recordingsIn(home.documents());
    ASSERT_EQ(files.size(), 1u);
    const auto ogg = varen::test::readOggStream(varen::test::readBinaryFile(files[0]));
    // Whole pages to the last byte: the header, the comment and the audio.
    EXPECT_EQ(ogg.error, "");
    EXPECT_GE(ogg.pages.size(), 3u);

    // The next use runs on a new runtime.
    EXPECT_NE(varen::VarenSTTManager::shared(), nullptr);
    bool ran = false;
    varen::platform::DispatchQueue::main()->async([&] { ran = true; });
    EXPECT_TRUE(runMainLoopUntil([&] { return ran; }));
    varen::shutdown();
}

TEST(Shutdown, CancelsAndJoinsRunningOperations) {
    auto queue = varen::platform::OperationQueue::create();
    std::atomic<bool> started{false};
    class UntilCancelled : public varen::platform::Operation {
      public:
        explicit UntilCancelled(std::atomic<bool>& started) : started_(started) {}
        void main() override {
            started_ = true;
            started_.notify_all();
            while (!isCancelled()) std::this_thread::yield();
        }

      private:
        std::atomic<bool>& started_;
    };
    auto operation = std::make_shared<UntilCancelled>(started);
    queue->addOperation(operation);
    started.wait(false);
    varen::shutdown();
    EXPECT_TRUE(operation->isCancelled());
    EXPECT_TRUE(operation->isFinished());
}
