// Decoding a 6000x4000 16-bit XISF image held in memory, as stored
// uncompressed and as zlib with byte shuffling (the common choice of
// capture programs).

#include "tests/xisf_writer.h"
#include "xisf/xisf_reader.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

constexpr uint32_t kWidth = 6000;
constexpr uint32_t kHeight = 4000;

// A sky-like frame: a smooth background with noise, so that compression
// works about as hard as on a real exposure.
QByteArray skySamples()
{
    QByteArray bytes(int(kWidth * kHeight * 2), '\0');
    auto *s = reinterpret_cast<uint16_t *>(bytes.data());
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 40.0f);
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x)
            s[y * kWidth + x] = uint16_t(1200.0f + 0.05f * float(x) + 0.03f * float(y) + noise(random));
    return bytes;
}

const QByteArray &file(bool compressed)
{
    static const QByteArray samples = skySamples();
    auto make = [](bool zlib) {
        XisfImageSpec imageSpec;
        imageSpec.width = kWidth;
        imageSpec.height = kHeight;
        imageSpec.sampleFormat = LibXISF::Image::UInt16;
        imageSpec.samples = samples;
        if (zlib) {
            imageSpec.codec = "zlib";
            imageSpec.shuffle = true;
        }
        return xisfFile({imageSpec});
    };
    static const QByteArray plain = make(false);
    static const QByteArray zlib = make(true);
    return compressed ? zlib : plain;
}

void decode(benchmark::State &state)
{
    const QByteArray &bytes = file(state.range(0) != 0);
    const LibXISF::ByteArray data(bytes.constData(), size_t(bytes.size()));
    for (auto _ : state) {
        LibXISF::XISFReader reader;
        reader.open(data);
        const LibXISF::Image &image = reader.getImage(0);
        benchmark::DoNotOptimize(image.imageData());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kWidth * kHeight * 2);
    state.SetLabel(state.range(0) ? "zlib+shuffle" : "uncompressed");
}

} // namespace

BENCHMARK(decode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);


