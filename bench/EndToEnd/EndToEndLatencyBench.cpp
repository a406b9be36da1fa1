// The end of a recognition as a host sees it: from stopRecognize, which sends the stop command,
// to the final result reaching the delegate, through the reference server. 20 runs; the median
// is the figure to read.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <optional>

#include "Support/EndToEndSupport.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/NotificationCenter.h"
#include "varenstt/VarenSTTManager.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class FinalWaiter : public varen::VarenSTTManagerDelegate {
  public:
    void varenSTTManagerDidRecognizeAudioWith(
        varen::VarenSTTManager&, const std::vector<varen::VarenSTTHypothesis>& list) override {
        at = Clock::now();
        transcript = list.empty() ? "" : list[0].transcript().value_or("");
    }
    void varenSTTManagerDidFailRecognizeAudioWithError(varen::VarenSTTManager&,
                                                       const std::string& text) override {
        failure = text;
    }
    std::optional<Clock::time_point> at;
    std::string transcript;
    std::optional<std::string> failure;
};

void BM_StopToFinal(benchmark::State& state) {
    varen::test::TemporaryHome home;
    varen::test::EndToEndServer server(VARENSTT_SERVER_BINARY);
    const auto wav = varen::test::speak(home.path(), "digits", "four two seven one");
    auto manager = varen::VarenSTTManager::shared();
    manager->setDecoderUrl(server.decoderUrl());
    manager->setLanguageModel("en-US_8k_digits");
    manager->setMinSilence(0.0f);
    varen::platform::setDefaultAudioInputSource(varen::platform::AudioInputSource::file(wav, 10.0));
    std::atomic<bool> playedOut{false};
    auto token = varen::platform::NotificationCenter::defaultCenter().addObserver(
        varen::platform::AudioInputDidPlayOutNotification, nullptr,
        [&](const varen::platform::Notification&) { playedOut = true; });

    for (auto _ : state) {
        auto waiter = std::make_shared<FinalWaiter>();
        manager->setDelegate(waiter);
        playedOut = false;
        manager->startRecognize();
        varen::test::runMainLoopUntil([&] { return playedOut.load() || waiter->failure; }, 60s);
        const auto stop = Clock::now();
        manager->stopRecognize();
        varen::test::runMainLoopUntil([&] { return waiter->at || waiter->failure; }, 60s);
        if (waiter->failure || !waiter->at || waiter->transcript != "four two seven one") {
            state.SkipWithError(
                ("run failed: " + waiter->failure.value_or(waiter->transcript)).c_str());
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(*waiter->at - stop).count());
    }
    varen::platform::NotificationCenter::defaultCenter().removeObserver(token);
}
BENCHMARK(BM_StopToFinal)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(20)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
