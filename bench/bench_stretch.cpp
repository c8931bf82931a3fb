// Stretch parameters and rendering per sample type on a 6000 x 4000 star
// field. Run by hand: build/bench/bench_stretch

#include "image/image_types.h"
#include "stretch/smooth_scale.h"
#include "stretch/stretch_renderer.h"

#include <benchmark/benchmark.h>

#include <QImage>

#include <cstdint>
#include <vector>

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// A dim background with noise and a sprinkling of saturated stars, as 16-bit
// camera values; deterministic, so runs compare.
std::vector<uint16_t> starField(int planes)
{
    std::vector<uint16_t> field(size_t(kWidth) * kHeight * planes);
    uint32_t state = 12345;
    for (uint16_t &v : field) {
        state = state * 1664525u + 1013904223u;
        const uint32_t noise = state >> 24;  // 0..255
        v = uint16_t(900 + noise);
        if ((state & 0xffff) < 40)
            v = uint16_t(20000 + (state >> 16) % 45535);
    }
    return field;
}

template <typename T>
std::vector<T> samplesOf(SampleType sampleType, int planes)
{
    const std::vector<uint16_t> field = starField(planes);
    std::vector<T> samples(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (sampleType == SampleType::UInt8)
            samples[i] = T(field[i] >> 8);
        else if (sampleType == SampleType::Float || sampleType == SampleType::Double)
            samples[i] = T(field[i] / 65535.0);  // normalised, as float files usually are
        else
            samples[i] = T(field[i]);
    }
    return samples;
}

template <typename T>
void stretchParams(benchmark::State &state, SampleType sampleType)
{
    const int planes = int(state.range(0));
    const std::vector<T> samples = samplesOf<T>(sampleType, planes);
    for (auto _ : state) {
        StretchRenderer renderer(kWidth, kHeight, planes, sampleType);
        benchmark::DoNotOptimize(renderer.computeParams(samples.data()));
    }
}

template <typename T>
void render(benchmark::State &state, SampleType sampleType)
{
    const int planes = int(state.range(0));
    const std::vector<T> samples = samplesOf<T>(sampleType, planes);
    StretchRenderer setup(kWidth, kHeight, planes, sampleType);
    const StretchParams params = setup.computeParams(samples.data());
    QImage picture(kWidth, kHeight, planes == 3 ? QImage::Format_RGB32 : QImage::Format_Indexed8);
    for (auto _ : state) {
        StretchRenderer renderer(kWidth, kHeight, planes, sampleType);
        renderer.setParams(params);
        renderer.run(samples.data(), picture, 1);
        benchmark::DoNotOptimize(picture.constBits());
    }
}

// What a narrowed preview does after the parameters: rendering each band of
// rows as the smooth narrowing to `width` reads it (arguments: planes, width).
template <typename T>
void renderNarrowed(benchmark::State &state, SampleType sampleType)
{
    const int planes = int(state.range(0));
    const int width = int(state.range(1));
    const std::vector<T> samples = samplesOf<T>(sampleType, planes);
    StretchRenderer renderer(kWidth, kHeight, planes, sampleType);
    renderer.setParams(renderer.computeParams(samples.data()));
    for (auto _ : state) {
        const std::unique_ptr<PlaneLevels> levels = renderer.planeLevels(samples.data());
        const PlaneLevels *source = levels.get();
        const QImage picture = smoothScaledPlanesToWidth(
            kWidth, kHeight, planes, width,
            [source](int plane, int first, int rows, uint8_t *out) { source->rows(plane, first, rows, out); });
        benchmark::DoNotOptimize(picture.constBits());
    }
}

// Benchmark names (narrowed_kSampleUInt16, params_kSampleUInt8, ...) are
// the ones bench/RESULTS.md and earlier runs use.
void narrowed_kSampleUInt16(benchmark::State &state) { renderNarrowed<uint16_t>(state, SampleType::UInt16); }
void narrowed_kSampleFloat(benchmark::State &state) { renderNarrowed<float>(state, SampleType::Float); }
BENCHMARK(narrowed_kSampleUInt16)
    ->Args({1, 800})
    ->Args({1, 100})
    ->Args({3, 800})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(narrowed_kSampleFloat)
    ->Args({1, 800})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

#define STRETCH_BENCHMARKS(T, type)                                                                                 \
    void params_kSample##type(benchmark::State &state) { stretchParams<T>(state, SampleType::type); }               \
    void render_kSample##type(benchmark::State &state) { render<T>(state, SampleType::type); }                      \
    BENCHMARK(params_kSample##type)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);                                 \
    BENCHMARK(render_kSample##type)                                                                                 \
        ->Arg(1)                                                                                                    \
        ->Arg(3)                                                                                                    \
        ->Unit(benchmark::kMillisecond)                                                                             \
        ->UseRealTime()                                                                                             \
        ->Repetitions(5)                                                                                            \
        ->ReportAggregatesOnly(true)

STRETCH_BENCHMARKS(uint8_t, UInt8);
STRETCH_BENCHMARKS(uint16_t, UInt16);
STRETCH_BENCHMARKS(uint32_t, UInt32);
STRETCH_BENCHMARKS(float, Float);
STRETCH_BENCHMARKS(int64_t, Int64);
STRETCH_BENCHMARKS(double, Double);

} // namespace
