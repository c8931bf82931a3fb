// Demosaic of a 6000 x 4000 16-bit RGGB mosaic: each method's kernel, and
// the whole step of a load with the method the tool runs (working buffer,
// kernel, new planes, planar copy).

#include "debayer/demosaic.h"
#include "image/fits_data.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// A sky-like mosaic: a sloping background with noise and a sprinkling of
// stars, so that the adaptive methods meet both flat and sharp regions.
const std::vector<uint16_t> &mosaic()
{
    static const std::vector<uint16_t> samples = [] {
        std::vector<uint16_t> s(size_t(kWidth) * kHeight);
        std::mt19937 random(42);
        std::normal_distribution<float> noise(0.0f, 40.0f);
        std::uniform_int_distribution<int> star(0, 2999);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                float v = 1500.0f + 0.1f * float(x) + 0.05f * float(y) + noise(random);
                if (star(random) == 0)
                    v += 40000.0f;
                s[size_t(y) * kWidth + x] = uint16_t(std::min(std::max(v, 0.0f), 65535.0f));
            }
        return s;
    }();
    return samples;
}

void demosaicKernel(benchmark::State &state)
{
    const int method = int(state.range(0));
    const std::vector<uint16_t> &source = mosaic();
    std::vector<uint16_t> buffer(source.size() * 3);
    for (auto _ : state) {
        const int result = demosaic(method, source.data(), buffer.data(), kWidth, kHeight, 512);
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
BENCHMARK(demosaicKernel)
    ->ArgName("method")
    ->DenseRange(0, 7)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

void debayer16Frame(benchmark::State &state)
{
    const std::vector<uint16_t> &source = mosaic();
    FITSData data;
    for (auto _ : state) {
        state.PauseTiming();
        data.stats.width = kWidth;
        data.stats.height = kHeight;
        data.stats.channels = 1;
        data.stats.samplesPerChannel = uint32_t(source.size());
        data.stats.bytesPerSample = 2;
        data.stats.sampleType = SampleType::UInt16;
        data.pixelBytes = uint32_t(source.size() * 2);
        data.pixels.reset(new uint8_t[data.pixelBytes]);
        std::memcpy(data.pixels.get(), source.data(), data.pixelBytes);
        data.bayer.method = int(state.range(0));
        state.ResumeTiming();
        const bool ok = data.debayer16();
        benchmark::DoNotOptimize(ok);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
// Method 0 writes its planes directly; method 1, interpolating as cheaply,
// shows the cost of the interleaved buffer and its copy.
BENCHMARK(debayer16Frame)
    ->ArgName("method")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

} // namespace


