// The demosaic step of a load: one Bayer plane in `pixels` becomes three
// colour planes. The kernels work on an interleaved buffer; this frame owns
// it, applies the vertical pattern offset and lays the result out planar.
// Nearest neighbour, the method every load uses, skips the interleaved stage.

#include "debayer/demosaic.h"
#include "image/fits_data.h"
#include "image/limits.h"
#include "image/sample_memory.h"

#include <QFuture>
#include <QThreadPool>
#include <QVector>
#include <QtConcurrent>

#include <algorithm>
#include <memory>
#include <new>

namespace {

// Only a plane whose buffer matches its declared shape is read; the three
// result planes must fit the 32-bit byte count of `pixels`.
template <typename T>
bool holdsDemosaicablePlane(const FITSData &data)
{
    const ImageStatistics &stats = data.stats;
    // Byte counts in 64 bits: a 32-bit size_t wraps at three 16-bit planes.
    const uint64_t samples = uint64_t(stats.width) * uint64_t(stats.height);
    return samples != 0 && stats.samplesPerChannel == samples && stats.bytesPerSample == int(sizeof(T)) &&
           data.pixels && data.pixelBytes >= samples * sizeof(T) && samples * 3 * sizeof(T) <= kMaxImageBytes;
}

// Only the modes that show colour use all three planes.
bool showsColour(FITSMode mode)
{
    return mode == Normal || mode == Calibrate;
}

template <typename T>
bool debayerPlanes(FITSData &data, SampleType sampleType)
{
    ImageStatistics &stats = data.stats;
    const int width = stats.width;
    const int height = stats.height;
    const size_t samples = size_t(width) * size_t(height);
    if (!holdsDemosaicablePlane<T>(data))
        return false;

    // With a vertical offset of 1 the pattern starts on the second row; the
    // last row then has no source and stays black.
    const T *source = reinterpret_cast<const T *>(data.pixels.get());
    int rows = height;
    if (data.bayer.offsetY == 1) {
        source += width;
        rows = height - 1;
    }
    const int method = data.bayer.method;
    const int pattern = data.bayer.pattern;
    const auto fail = [&stats] {
        stats.channels = 1;
        return false;
    };

    // Downsampling yields a (W/2) x (H/2) image, and the image takes that
    // shape; a strip one sample wide or high has no whole block to give.
    const bool halved = method == kDemosaicDownsample;
    const int outWidth = halved ? width / 2 : width;
    const int outHeight = halved ? rows / 2 : height;
    const size_t outSamples = size_t(outWidth) * size_t(outHeight);
    const uint32_t planeBytes = uint32_t(outSamples * 3 * sizeof(T));
    std::unique_ptr<uint8_t[]> planes;

    if (method == kDemosaicNearest) {
        // The method every load uses writes its planes directly: the same
        // values without the interleaved buffer and the pass that copies it,
        // which together cost several times the interpolation itself.
        if (!patternWord(pattern))
            return fail();
        planes = newSampleBuffer(planeBytes);
        if (!planes)
            return false;
        T *red = reinterpret_cast<T *>(planes.get());
        // Bands of rows on the global pool: the planes are fresh memory,
        // and its first touch costs as much as the values.
        const int bands = std::max(1, std::min(rows, 4 * QThreadPool::globalInstance()->maxThreadCount()));
        QVector<QFuture<void>> tasks;
        for (int b = 0; b < bands; ++b) {
            const int first = int(int64_t(rows) * b / bands), end = int(int64_t(rows) * (b + 1) / bands);
            tasks.append(QtConcurrent::run(QThreadPool::globalInstance(), [=] {
                demosaicNearestPlanar(source, red, red + samples, red + 2 * samples, width, rows, pattern, first, end);
            }));
        }
        for (QFuture<void> &task : tasks)
            task.waitForFinished();
        if (rows < height)
            for (int c = 0; c < 3; ++c)
                std::fill_n(red + c * samples + size_t(rows) * size_t(width), size_t(width), T(0));
    } else {
        std::unique_ptr<T[]> work(new (std::nothrow) T[samples * 3]);
        if (!work)
            return false;
        if (demosaic(method, source, work.get(), width, rows, pattern) != kDemosaicOk ||
            outSamples == 0)
            return fail();
        if (!halved && rows < height)
            std::fill_n(work.get() + size_t(rows) * size_t(width) * 3, size_t(width) * 3, T(0));

        // The new planes come before the raw samples go, so that a failure
        // leaves the mosaic image as it was.
        planes = newSampleBuffer(planeBytes);
        if (!planes)
            return fail();
        const T *in = work.get();
        T *red = reinterpret_cast<T *>(planes.get());
        T *green = red + outSamples;
        T *blue = green + outSamples;
        for (size_t i = 0; i < outSamples; ++i, in += 3) {
            red[i] = in[0];
            green[i] = in[1];
            blue[i] = in[2];
        }
    }

    data.pixels = std::move(planes);
    data.pixelBytes = planeBytes;
    stats.channels = showsColour(data.mode) ? 3 : 1;
    stats.sampleType = sampleType;
    stats.width = uint16_t(outWidth);
    stats.height = uint16_t(outHeight);
    stats.samplesPerChannel = uint32_t(outSamples);
    return true;
}

} // namespace

bool FITSData::debayer8()
{
    return debayerPlanes<uint8_t>(*this, SampleType::UInt8);
}

bool FITSData::debayer16()
{
    return debayerPlanes<uint16_t>(*this, SampleType::UInt16);
}

bool FITSData::keepMosaic()
{
    const bool plane = stats.sampleType == SampleType::UInt8    ? holdsDemosaicablePlane<uint8_t>(*this)
                       : stats.sampleType == SampleType::UInt16 ? holdsDemosaicablePlane<uint16_t>(*this)
                                                                : false;
    // The vertical offset moves the mosaic's rows up; any other value has
    // been refused by the Bayer detection.
    if (!plane || bayer.method != kDemosaicNearest || !patternWord(bayer.pattern) || !showsColour(mode) ||
        (bayer.offsetY != 0 && bayer.offsetY != 1))
        return false;
    holdsMosaic = true;
    stats.channels = 3;
    return true;
}

bool FITSData::expandMosaic()
{
    if (!holdsMosaic)
        return true;
    const bool planes = stats.sampleType == SampleType::UInt8 ? debayer8() : debayer16();
    holdsMosaic = !planes;
    return planes;
}
