// libFuzzer target: the pixel pipeline behind a preview on samples of any
// shape and type: demosaic, statistics of the image and of a region,
// stretch parameters, rendering and narrowing.
//
// Input: a 16-byte header, then sample bytes, repeated to fill the image.
//   0-1 width, 2-3 height (little-endian; the product is capped)
//   4 sample type, 5 channels, 6 Bayer pattern, 7 demosaic method,
//   8 bit 0: demosaic, bit 1: vertical Bayer offset, bit 2: large image
//   (otherwise each side is taken modulo 256, which keeps runs fast), 9 mode,
//   10-11 width limit (signed), 12 quality, 13-15 region corner and size

#include "fuzz/fuzz_support.h"

#include <QByteArray>
#include <QRect>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr size_t kHeaderBytes = 16;

// Enough for the subsampled median and stretch (above 500,000 samples)
// while keeping a run well below the fuzzer's time limit.
constexpr uint32_t kMaxSamplesPerChannel = 1u << 20;

constexpr SampleType kSampleTypes[] = {SampleType::UInt8, SampleType::UInt16, SampleType::Int16,
                                       SampleType::UInt32, SampleType::Int32, SampleType::Float,
                                       SampleType::Int64, SampleType::Double, SampleType::None};

uint16_t le16(const uint8_t *p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeaderBytes || size > kMaxFuzzInputBytes)
        return 0;
    useOnePoolThread();
    const bool large = data[8] & 4;
    const uint16_t width = large ? le16(data) : data[0];
    const uint16_t height = large ? le16(data + 2) : data[2];
    const SampleType sampleType = kSampleTypes[data[4] % (sizeof kSampleTypes / sizeof kSampleTypes[0])];
    const int channels = 1 + data[5] % 3;
    const int patterns[] = {kPatternRGGB, kPatternGBRG, kPatternGRBG, kPatternBGGR, 0};
    const int pattern = patterns[data[6] % 5];
    const int method = data[7] % 9;  // 8 is no method
    const bool demosaic = data[8] & 1;
    const int offsetY = (data[8] >> 1) & 1;
    const FITSMode mode = FITSMode(data[9] % 6);
    const int widthLimit = int16_t(le16(data + 10));
    const int quality = data[12];
    const QRect region(data[13] % 64, data[14] % 64, 1 + data[15] % 64, 1 + data[15] / 4);

    const uint32_t samplesPerChannel = uint32_t(width) * height;
    if (samplesPerChannel > kMaxSamplesPerChannel)
        return 0;
    const size_t bytesPerSample = size_t(std::max(1, bitsPerSampleOf(sampleType) / 8));
    const size_t bufferBytes = size_t(samplesPerChannel) * size_t(channels) * bytesPerSample;

    FITSData image;
    image.mode = mode;
    image.stats.width = width;
    image.stats.height = height;
    image.stats.channels = uint8_t(channels);
    image.stats.sampleType = sampleType;
    image.stats.bytesPerSample = int(bytesPerSample);
    image.stats.samplesPerChannel = samplesPerChannel;
    if (bufferBytes > 0) {
        image.pixels.reset(new (std::nothrow) uint8_t[bufferBytes]);
        if (!image.pixels)
            return 0;
        const uint8_t *samples = data + kHeaderBytes;
        const size_t sampleBytes = size - kHeaderBytes;
        if (sampleBytes == 0) {
            std::memset(image.pixels.get(), 0, bufferBytes);
        } else {
            for (size_t at = 0; at < bufferBytes; at += sampleBytes)
                std::memcpy(image.pixels.get() + at, samples, std::min(sampleBytes, bufferBytes - at));
        }
        image.pixelBytes = uint32_t(bufferBytes);
    }

    bool statistics = true;
    if (demosaic && channels == 1) {
        image.bayer.pattern = pattern;
        image.bayer.method = method;
        image.bayer.offsetY = offsetY;
        image.hasDebayer = true;
        if (sampleType == SampleType::UInt8)
            statistics = image.debayer8();
        else if (sampleType == SampleType::UInt16)
            statistics = image.debayer16();
    }
    if (statistics)
        image.computeStatistics(false);
    image.makeRoiBuffer(region);
    const QImage preview = renderForFuzzing(image, widthLimit, quality);
    static_cast<void>(preview);
    return 0;
}
