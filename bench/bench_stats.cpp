#include "image/fits_data.h"
#include "stats/statistics.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

// A 6000 x 4000 16-bit frame, the size of a common astronomy camera.
namespace {

constexpr uint16_t kWidth = 6000;
constexpr uint16_t kHeight = 4000;

const std::vector<uint16_t> &frame()
{
    static const std::vector<uint16_t> samples = [] {
        std::vector<uint16_t> s(size_t(kWidth) * kHeight);
        std::mt19937 random(1);
        std::normal_distribution<double> noise(1000, 50);
        for (uint16_t &x : s)
            x = uint16_t(std::clamp(noise(random), 0.0, 65535.0));
        return s;
    }();
    return samples;
}

void fillImage(FITSData &data)
{
    const std::vector<uint16_t> &samples = frame();
    data.stats.sampleType = SampleType::UInt16;
    data.stats.bytesPerSample = 2;
    data.stats.width = kWidth;
    data.stats.height = kHeight;
    data.stats.channels = 1;
    data.stats.samplesPerChannel = uint32_t(samples.size());
    data.pixelBytes = uint32_t(samples.size() * 2);
    data.pixels.reset(new uint8_t[data.pixelBytes]);
    std::memcpy(data.pixels.get(), samples.data(), data.pixelBytes);
}

// The frame normalised to 0..1 in single precision, as float files keep it.
void fillFloatImage(FITSData &data)
{
    const std::vector<uint16_t> &samples = frame();
    fillImage(data);
    data.stats.sampleType = SampleType::Float;
    data.stats.bytesPerSample = 4;
    data.pixelBytes = uint32_t(samples.size() * 4);
    data.pixels.reset(new uint8_t[data.pixelBytes]);
    float *out = reinterpret_cast<float *>(data.pixels.get());
    for (size_t i = 0; i < samples.size(); ++i)
        out[i] = samples[i] / 65535.0f;
}

// The frame as a FITS file with BZERO 32768, written once per run.
QString frameFile()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString file = dir.filePath("frame.fits");
        std::vector<int16_t> stored(frame().size());
        for (size_t i = 0; i < stored.size(); ++i)
            stored[i] = int16_t(int(frame()[i]) - 32768);
        int status = 0;
        fitsfile *f = nullptr;
        long axes[2] = {kWidth, kHeight};
        const QByteArray name = QFile::encodeName(file);
        fits_create_diskfile(&f, name.constData(), &status);
        fits_create_img(f, SHORT_IMG, 2, axes, &status);
        double zero = 32768;
        fits_write_key(f, TDOUBLE, "BZERO", &zero, nullptr, &status);
        fits_set_bscale(f, 1.0, 0.0, &status);
        fits_write_img(f, TSHORT, 1, LONGLONG(stored.size()), stored.data(), &status);
        fits_close_file(f, &status);
        return status ? QString() : file;
    }();
    return path;
}

} // namespace

static void BM_ComputeStatistics16(benchmark::State &state)
{
    FITSData data;
    fillImage(data);
    for (auto _ : state) {
        data.computeStatistics(false);
        benchmark::DoNotOptimize(data.stats.signalToNoise);
    }
}
BENCHMARK(BM_ComputeStatistics16)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

static void BM_ComputeStatisticsFloat(benchmark::State &state)
{
    FITSData data;
    fillFloatImage(data);
    for (auto _ : state) {
        data.computeStatistics(false);
        benchmark::DoNotOptimize(data.stats.signalToNoise);
    }
}
BENCHMARK(BM_ComputeStatisticsFloat)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

static void BM_MedianFloat(benchmark::State &state)
{
    FITSData data;
    fillFloatImage(data);
    for (auto _ : state)
        data.computeMedian(false);
}
BENCHMARK(BM_MedianFloat)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

static void BM_MinMax16(benchmark::State &state)
{
    FITSData data;
    fillImage(data);
    for (auto _ : state)
        data.computeMinMax(false);
}
BENCHMARK(BM_MinMax16)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

static void BM_Median16(benchmark::State &state)
{
    FITSData data;
    fillImage(data);
    for (auto _ : state)
        data.computeMedian(false);
}
BENCHMARK(BM_Median16)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

static void BM_MeanDeviation16(benchmark::State &state)
{
    FITSData data;
    fillImage(data);
    for (auto _ : state)
        data.computeMeanDeviation(false);
}
BENCHMARK(BM_MeanDeviation16)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

// The whole FITS load: open, read and convert the samples, header records,
// statistics.
static void BM_LoadFits16(benchmark::State &state)
{
    const QString file = frameFile();
    if (file.isEmpty()) {
        state.SkipWithError("cannot write the frame");
        return;
    }
    for (auto _ : state) {
        FITSData data;
        data.setMode(Focus);  // no world coordinates to parse
        if (!data.startLoad(file).result())
            state.SkipWithError("load failed");
    }
}
BENCHMARK(BM_LoadFits16)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);


