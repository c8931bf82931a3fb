// Decoding a 6000x4000 16-bit XISF image held in memory into a buffer of
// the caller's, as the image loader does: stored uncompressed and with every
// codec capture programs offer, with and without byte shuffling, and zlib
// with shuffling in 8 sub-blocks.

#include "tests/xisf_writer.h"
#include "xisf/xisf_reader.h"

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>

namespace {

constexpr uint32_t kWidth = 6000;
constexpr uint32_t kHeight = 4000;

struct Variant {
    const char *label;
    const char *codec;
    bool shuffle;
    int subBlocks;
};

const Variant kVariants[] = {
    {"uncompressed", "", false, 0},   {"zlib", "zlib", false, 0},   {"zlib+shuffle", "zlib", true, 0},
    {"zlib+shuffle, 8 sub-blocks", "zlib", true, 8},                {"lz4", "lz4", false, 0},
    {"lz4+shuffle", "lz4", true, 0},  {"lz4hc", "lz4hc", false, 0}, {"lz4hc+shuffle", "lz4hc", true, 0},
    {"zstd", "zstd", false, 0},       {"zstd+shuffle", "zstd", true, 0},
};

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

// Files are made on first use, so that running one variant costs one.
const QByteArray &file(size_t variant)
{
    static const QByteArray samples = skySamples();
    static std::map<size_t, QByteArray> files;
    auto found = files.find(variant);
    if (found == files.end()) {
        XisfFixture fixture;
        fixture.width = kWidth;
        fixture.height = kHeight;
        fixture.sampleFormat = LibXISF::Image::UInt16;
        fixture.samples = samples;
        fixture.codec = QString::fromLatin1(kVariants[variant].codec);
        fixture.shuffle = kVariants[variant].shuffle;
        fixture.subBlocks = kVariants[variant].subBlocks;
        found = files.emplace(variant, xisfFile({fixture})).first;
    }
    return found->second;
}

void decode(benchmark::State &state)
{
    const size_t variant = size_t(state.range(0));
    const QByteArray &bytes = file(variant);
    const LibXISF::ByteArray data(bytes.constData(), size_t(bytes.size()));
    const size_t size = size_t(kWidth) * kHeight * 2;
    const std::unique_ptr<char[]> out(new char[size]);
    for (auto _ : state) {
        LibXISF::XISFReader reader;
        reader.open(data);
        reader.readImageData(0, out.get(), size);
        benchmark::DoNotOptimize(out.get());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
    state.SetLabel(kVariants[variant].label);
}

} // namespace

BENCHMARK(decode)
    ->DenseRange(0, int(std::size(kVariants)) - 1)
    ->MeasureProcessCPUTime()  // the pool's threads too
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
