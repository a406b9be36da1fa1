// Frame building with masking and the incremental UTF-8 check, each beside memcpy of the same
// bytes, in one run.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "WebSocket/SRFraming.h"
#include "WebSocket/SRUTF8.h"

namespace {

using varen::Data;

Data payloadOf(std::size_t n) {
    Data d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(i * 13);
    return d;
}

void BM_BuildMaskedFrame(benchmark::State& state) {
    const Data payload = payloadOf(static_cast<std::size_t>(state.range(0)));
    const std::array<std::uint8_t, 4> key{0x12, 0x34, 0x56, 0x78};
    for (auto _ : state) {
        Data frame =
            varen::SRBuildFrame(varen::SROpCodeBinaryFrame, payload.data(), payload.size(), key);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_BuildMaskedFrame)->Arg(64)->Arg(4096)->Arg(1 << 20);

void BM_MemcpyIntoNewBuffer(benchmark::State& state) {
    // Bounded so the compiler can see the copy fits (sizes here stay far below 1 GiB).
    const std::size_t n = static_cast<std::size_t>(state.range(0)) & 0x3FFFFFFF;
    const Data payload = payloadOf(n);
    for (auto _ : state) {
        auto copy = std::make_unique<std::uint8_t[]>(n + 14);  // zero-filled, like a frame
        std::memcpy(copy.get() + 14, payload.data(), n);
        benchmark::DoNotOptimize(copy.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MemcpyIntoNewBuffer)->Arg(64)->Arg(4096)->Arg(1 << 20);

std::string asciiText(std::size_t n) {
    std::string s;
    while (s.size() < n) s += "The quick brown fox jumps over the lazy dog. ";
    s.resize(n);
    return s;
}

std::string mixedText(std::size_t n) {
    std::string s;
    while (s.size() + 16 < n)
        s += "Gr\xC3\xBC\xC3\x9F"
             "e \xE2\x82\xAC 5 \xF0\x9F\x98\x80 ";
    s.append(n - s.size(), 'x');
    return s;
}

void utf8Check(benchmark::State& state, const std::string& text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    for (auto _ : state) {
        auto valid = varen::SRValidUTF8PrefixLength(p, text.size());
        benchmark::DoNotOptimize(valid);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_UTF8CheckASCII(benchmark::State& state) {
    utf8Check(state, asciiText(1 << 20));
}
void BM_UTF8CheckMixed(benchmark::State& state) {
    utf8Check(state, mixedText(1 << 20));
}
BENCHMARK(BM_UTF8CheckASCII);
BENCHMARK(BM_UTF8CheckMixed);

void BM_MemcpyText(benchmark::State& state) {
    const std::string text = asciiText(1 << 20);
    std::string target(text.size(), '\0');
    for (auto _ : state) {
        std::memcpy(target.data(), text.data(), text.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_MemcpyText);

}  // namespace

BENCHMARK_MAIN();
