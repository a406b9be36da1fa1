// What a user pays for the tools, as whole processes, side by side with their comparisons.
//
// Echo: a Boost.Beast server drives the exchange (see beast_echo_driver.cpp) with either
// `varen-ws --echo` or a synchronous Boost.Beast client as the client. Server and client are
// pinned to the same CPU, so the wall time counts all the CPU both spend; the benchmark itself
// runs on another CPU.
//
// Speech: the `varen-stt` process streaming a minute of speech from a file (`--fast`, and in
// real time) against the bare codec loop over the same samples, in CPU seconds per second of
// audio; voluntary context switches per second of audio show how often it wakes up.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <cstdlib>

#include "ProcessRun.h"
#include "Support/RecognitionServer.h"
#include "Support/SpeechSamples.h"
#include "Support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using varen::bench::ProcessCost;
using varen::bench::ProcessRun;

constexpr int kPeerCpu = 0;
constexpr int kBenchCpu = 1;

void keepOffThePeerCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(kBenchCpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// The tools under test; VAREN_WS and VAREN_STT name other builds of them, to compare builds.
std::string toolPath(const char* variable, const char* built) {
    const char* chosen = std::getenv(variable);
    return chosen && *chosen ? chosen : built;
}

enum class Client { varenWs, beast };

// One exchange: the driver starts and listens, then the client runs it to the close.
std::optional<ProcessCost> echoOnce(Client client, const std::vector<std::string>& exchange) {
    std::vector<std::string> driverArgs{BEAST_ECHO_DRIVER};
    driverArgs.insert(driverArgs.end(), exchange.begin(), exchange.end());
    ProcessRun driver(driverArgs, kPeerCpu, true);
    const auto line = driver.readLine(10s);
    if (!line || line->rfind("PORT ", 0) != 0) return std::nullopt;
    const std::string port = line->substr(5);
    const std::vector<std::string> clientArgs =
        client == Client::beast
            ? std::vector<std::string>{BEAST_ECHO_CLIENT, port}
            : std::vector<std::string>{toolPath("VAREN_WS", VAREN_WS_TOOL), "--echo",
                                       "--max-message", "67108864", "ws://127.0.0.1:" + port + "/"};
    ProcessRun run(clientArgs, kPeerCpu, false);
    auto cost = run.finish(120s);
    const auto driverCost = driver.finish(10s);
    if (!cost || cost->exitStatus != 0 || !driverCost || driverCost->exitStatus != 0) {
        return std::nullopt;
    }
    return cost;
}

// Arguments: message size, count, pipelined (1) or one at a time (0), text (1) or binary (0),
// client (0: varen-ws, 1: Beast).
void BM_EchoProcess(benchmark::State& state) {
    keepOffThePeerCpu();
    const auto size = std::to_string(state.range(0));
    const auto count = std::to_string(state.range(1));
    const std::vector<std::string> exchange{count, size, state.range(2) ? "pipelined" : "lockstep",
                                            state.range(3) ? "text" : "binary"};
    const Client client = state.range(4) ? Client::beast : Client::varenWs;
    double cpu = 0;
    for (auto _ : state) {
        const auto cost = echoOnce(client, exchange);
        if (!cost) return state.SkipWithError("the exchange failed");
        state.SetIterationTime(cost->wallSeconds);
        cpu += cost->cpuSeconds;
    }
    state.counters["client_cpu_s"] =
        benchmark::Counter(cpu / static_cast<double>(state.iterations()));
    state.SetLabel(client == Client::beast ? "beast client" : "varen-ws --echo");
}

void echoCases(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"size", "count", "pipelined", "text", "beast"});
    for (const auto& [size, count, pipelined] : {std::tuple{64L, 2000L, 0L},
                                                 {4096L, 2000L, 0L},
                                                 {1L << 20, 100L, 1L},
                                                 {16L << 20, 8L, 1L}}) {
        for (long text : {0L, 1L}) {
            for (long beast : {1L, 0L}) bench->Args({size, count, pipelined, text, beast});
        }
    }
}
BENCHMARK(BM_EchoProcess)
    ->Apply(echoCases)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// --- speech ---

using varen::bench::bareCodecCpuSeconds;
using varen::bench::speech;
constexpr double kAudioSeconds = varen::bench::kSpeechSeconds;

// Argument: 1 for --fast, 0 for real time. Each iteration runs the bare loop, then the tool.
void BM_VarenSttProcess(benchmark::State& state) {
    const auto& input = speech();
    if (input.samples.size() < static_cast<std::size_t>(kAudioSeconds * 8000))
        return state.SkipWithError("no speech (sox)");
    const bool fast = state.range(0) != 0;
    varen::test::TemporaryHome home;
    varen::test::RecognitionServer server(nlohmann::json::array(
        {{{"wait", "stop"},
          {"send", varen::test::RecognitionServer::finalResult({"done"}, 1.0)}}}));
    std::vector<std::string> args{"/usr/bin/env",
                                  "HOME=" + home.path().string(),
                                  toolPath("VAREN_STT", VAREN_STT_TOOL),
                                  "--input",
                                  input.wav.string(),
                                  "--url",
                                  server.decoderUrl()};
    if (fast) args.push_back("--fast");
    double bare = 0, tool = 0, switches = 0;
    for (auto _ : state) {
        bare += bareCodecCpuSeconds(input.samples);
        ProcessRun run(args, std::nullopt, false);
        const auto cost = run.finish(fast ? 60s : 120s);
        if (!cost || cost->exitStatus != 0) return state.SkipWithError("the run failed");
        tool += cost->cpuSeconds;
        switches += static_cast<double>(cost->voluntarySwitches);
    }
    const double audio = kAudioSeconds * static_cast<double>(state.iterations());
    state.counters["bare_cpu_s_per_audio_s"] = bare / audio;
    state.counters["tool_cpu_s_per_audio_s"] = tool / audio;
    state.counters["tool_over_bare"] = tool / bare;
    state.counters["switches_per_audio_s"] = switches / audio;
}
BENCHMARK(BM_VarenSttProcess)->ArgName("fast")->Arg(1)->Iterations(3)->Unit(benchmark::kSecond);
BENCHMARK(BM_VarenSttProcess)->ArgName("fast")->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
