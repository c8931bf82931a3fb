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
std::vector<T> samplesOf(int sampleType, int planes)
{
    const std::vector<uint16_t> field = starField(planes);
    std::vector<T> samples(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (sampleType == kSampleUInt8)
            samples[i] = T(field[i] >> 8);
        else if (sampleType == kSampleFloat || sampleType == kSampleDouble)
            samples[i] = T(field[i] / 65535.0);  // normalised, as float files usually are
        else
            samples[i] = T(field[i]);
    }
    return samples;
}

template <typename T>
void stretchParams(benchmark::State &state, int sampleType)
{
    const int planes = int(state.range(0));
    const std::vector<T> samples = samplesOf<T>(sampleType, planes);
    for (auto _ : state) {
        StretchRenderer renderer(kWidth, kHeight, planes, sampleType);
        benchmark::DoNotOptimize(renderer.computeParams(samples.data()));
    }
}

template <typename T>
void render(benchmark::State &state, int sampleType)
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
void renderNarrowed(benchmark::State &state, int sampleType)
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

void narrowed_kSampleUInt16(benchmark::State &state) { renderNarrowed<uint16_t>(state, kSampleUInt16); }
void narrowed_kSampleFloat(benchmark::State &state) { renderNarrowed<float>(state, kSampleFloat); }
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

#define STRETCH_BENCHMARKS(T, code)                                                                                 \
    void params_##code(benchmark::State &state) { stretchParams<T>(state, code); }                                  \
    void render_##code(benchmark::State &state) { render<T>(state, code); }                                         \
    BENCHMARK(params_##code)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);                                        \
    BENCHMARK(render_##code)                                                                                        \
        ->Arg(1)                                                                                                    \
        ->Arg(3)                                                                                                    \
        ->Unit(benchmark::kMillisecond)                                                                             \
        ->UseRealTime()                                                                                             \
        ->Repetitions(5)                                                                                            \
        ->ReportAggregatesOnly(true)

STRETCH_BENCHMARKS(uint8_t, kSampleUInt8);
STRETCH_BENCHMARKS(uint16_t, kSampleUInt16);
STRETCH_BENCHMARKS(uint32_t, kSampleUInt32);
STRETCH_BENCHMARKS(float, kSampleFloat);
STRETCH_BENCHMARKS(int64_t, kSampleInt64);
STRETCH_BENCHMARKS(double, kSampleDouble);

} // namespace
