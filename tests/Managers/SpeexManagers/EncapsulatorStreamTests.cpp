#include "Managers/SpeexManagers/Encapsulator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "Managers/SpeexManagers/SpeexCodec.h"
#include "Managers/VSWebSocketManager.h"
#include "SpeexTestAudio.h"
#include "Support/OggReader.h"
#include "Support/RecognitionServer.h"
#include "Support/TestSupport.h"
#include "varenstt/VarenSTTManager.h"

using varen::Data;
using varen::Encapsulator;

namespace {

class FinalRecorder : public varen::VSRecognitionDelegate {
  public:
    void socketManagerCanStartRecordingAudio(varen::VSWebSocketManager&, std::nullptr_t) override {}
    void socketManagerDidRecognizePartialText(varen::VSWebSocketManager&,
                                              const std::string&) override {}
    void socketManagerDidRecognizeAudioWithText(
        varen::VSWebSocketManager&, const std::vector<varen::VarenSTTHypothesis>&) override {
        ++finals;
    }
    void socketManagerDidFailToRecognizeAudioWithError(varen::VSWebSocketManager&,
                                                       const varen::Error& error) override {
        failures.push_back(error.localizedDescription());
    }
    std::atomic<int> finals{0};
    std::vector<std::string> failures;
};

}  // namespace

TEST(EncapsulatorStream, EverySentPacketIsTheOneInTheFileInPCMOrder) {
    varen::test::TemporaryHome home;
    const auto speech = varen::test::speechSamples8k();
    ASSERT_GT(speech.size(), 16000u);
    const Data pcm = varen::test::asBytes(speech);

    varen::test::RecognitionServer server(nlohmann::json::array(
        {{{"wait", "stop"}},
         {{"send", varen::test::RecognitionServer::finalResult({"go forward ten meters"}, 0.9)}},
         {{"wait", "close"}}}));
    auto settings = varen::VarenSTTManager::shared();
    settings->setDecoderUrl(server.decoderUrl());
    settings->setApiKey("key");
    settings->setLanguageModel("model");
    auto client = varen::VSWebSocketManager::sharedManager();
    auto recorder = std::make_shared<FinalRecorder>();
    client->setRecognitionDelegate(recorder);
    client->openStream();
    // The start command is queued when the connection opens, so once the server has it every
    // packet handed over from now on is sent.
    ASSERT_TRUE(varen::test::runMainLoopUntil([&] { return !server.textMessages().empty(); }));

    const auto path = Encapsulator::defaultFileName();
    auto encapsulator = Encapsulator::initWithFileName(path);
    encapsulator->setPacketSink(client);
    encapsulator->prepareForEncapsulating();
    std::thread audio([&] {
        for (std::size_t at = 0; at < pcm.size(); at += 8000) {
            const auto size = std::min<std::size_t>(8000, pcm.size() - at);
            encapsulator->inputPCMDataFromBuffer(pcm.data() + at, static_cast<std::uint32_t>(size));
        }
    });
    audio.join();
    encapsulator->stopEncapsulating(false);
    const auto operation = encapsulator->encapsulationOperation();
    ASSERT_TRUE(varen::test::runMainLoopUntil([&] { return operation->isFinished(); }));
    client->forceCloseStream();
    ASSERT_TRUE(varen::test::runMainLoopUntil([&] { return recorder->finals.load() == 1; }));
    EXPECT_TRUE(recorder->failures.empty());
    // Let the closing handshake finish before the connection's threads go away with the process.
    ASSERT_TRUE(server.waitFor([](const auto& events) {
        for (const auto& event : events) {
            if (event["type"] == "closed") return true;
        }
        return false;
    }));
    varen::test::runMainLoopFor(std::chrono::milliseconds(200));

    const auto contents = varen::test::readOggStream(varen::test::readBinaryFile(path));
    ASSERT_EQ(contents.error, "");
    std::vector<Data> inFile;
    for (std::size_t index = 2; index < contents.packets.size(); ++index) {
        inFile.push_back(contents.packets[index].bytes);
    }
    ASSERT_EQ(inFile.size(), pcm.size() / 320);
    const auto sent = server.binaryMessages();
    ASSERT_EQ(sent.size(), inFile.size());
    for (std::size_t index = 0; index < sent.size(); ++index) {
        ASSERT_EQ(sent[index], inFile[index]) << "packet " << index;
    }
    // And the packets are those of the PCM frames in order.
    varen::SpeexCodec codec;
    codec.open(8);
    std::vector<std::int16_t> frame(160);
    for (std::size_t index = 0; index < inFile.size(); ++index) {
        std::memcpy(frame.data(), pcm.data() + 320 * index, 320);
        ASSERT_EQ(*codec.encode(frame.data(), 160), inFile[index]) << "frame " << index;
    }
    codec.close();
}
