#include "debayer/demosaic.h"
#include "image/fits_data.h"
#include "image/cfitsio.h"
#include "image/limits.h"
#include "stats/statistics.h"

#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent>

#include <array>
#include <cmath>

namespace {

bool isHandledSampleType(SampleType sampleType)
{
    return withSampleType(sampleType, [](auto) {});
}

// Reads one keyword of a chain: after the first absent keyword the status
// stays set and the rest of the chain is not read, so those fields keep
// their values.
void readChainKey(fitsfile *file, const char *keyword, double &field, int &status)
{
    if (status)
        return;
    double value = 0;
    char comment[FLEN_COMMENT] = {};
    fits_read_key_dbl(file, keyword, &value, comment, &status);
    if (status == 0)
        field = value;
}

// Reads a chain into the three entries of `fields`; true when the first
// keyword was present.
bool readChain(fitsfile *file, const char *const keywords[3], double fields[3])
{
    int status = 0;
    readChainKey(file, keywords[0], fields[0], status);
    const bool first = status == 0;
    readChainKey(file, keywords[1], fields[1], status);
    readChainKey(file, keywords[2], fields[2], status);
    return first;
}

bool minMaxFromHeader(fitsfile *file, ImageStatistics &record)
{
    const ErrorMessageMark mark;
    bool found[2] = {false, false};
    const char *const primary[2] = {"DATAMIN", "DATAMAX"};
    const char *const chains[2][3] = {{"MIN1", "MIN2", "MIN3"}, {"MAX1", "MAX2", "MAX3"}};
    double *fields[2] = {record.minimum, record.maximum};
    for (int i = 0; i < 2; ++i) {
        int status = 0;
        readChainKey(file, primary[i], fields[i][0], status);
        if (status) {
            status = 0;
            readChainKey(file, chains[i][0], fields[i][0], status);
        }
        found[i] = status == 0;
        readChainKey(file, chains[i][1], fields[i][1], status);
        readChainKey(file, chains[i][2], fields[i][2], status);
    }
    // Writers that know no range put 0 and 0 there.
    return found[0] && found[1] && !(record.minimum[0] == 0.0 && record.maximum[0] == 0.0);
}

bool medianFromHeader(fitsfile *file, ImageStatistics &record)
{
    const ErrorMessageMark mark;
    static const char *const keywords[3] = {"MEDIAN1", "MEDIAN2", "MEDIAN3"};
    return readChain(file, keywords, record.median);
}

bool meanDeviationFromHeader(fitsfile *file, ImageStatistics &record)
{
    const ErrorMessageMark mark;
    static const char *const means[3] = {"MEAN1", "MEAN2", "MEAN3"};
    static const char *const deviations[3] = {"STDDEV1", "STDDEV2", "STDDEV3"};
    const bool mean = readChain(file, means, record.mean);
    const bool deviation = readChain(file, deviations, record.standardDeviation);
    return mean && deviation;
}

// The planes a statistics pass reads. False when the buffer is smaller
// than the record claims; nothing is read then. An empty image needs no
// buffer at all.
template <typename T>
bool planesOf(const FITSData &image, bool roi, const T *&planes)
{
    const uint8_t *buffer = roi ? image.roiPixels.get() : image.pixels.get();
    const ImageStatistics &record = roi ? image.roiStats : image.stats;
    const uint64_t needed = uint64_t(std::min<int>(image.stats.channels, kMaxChannels)) * record.samplesPerChannel * sizeof(T);
    planes = reinterpret_cast<const T *>(buffer);
    if (needed == 0)
        return true;
    // The region copy is cut from the whole image, so it is never larger.
    return buffer && needed <= image.pixelBytes;
}

int channelCount(const FITSData &image)
{
    return std::min<int>(image.stats.channels, kMaxChannels);
}

// Minimum/maximum (`range`) and mean/deviation (`moments`) of every channel,
// both from one pass over each chunk when both are wanted. The chunks, the
// order of the samples within a task and the order in which the tasks'
// results are folded are those of the separate passes, so are the values.
void computeRangeAndMoments(FITSData &image, bool roi, bool range, bool moments, int channels)
{
    ImageStatistics &record = roi ? image.roiStats : image.stats;
    withSampleType(image.stats.sampleType, [&](auto tag) {
        using T = decltype(tag);
        const T *planes = nullptr;
        if (!planesOf(image, roi, planes))
            return;
        const uint32_t n = record.samplesPerChannel;
        const uint32_t chunk = n / kStatisticsTasks;
        const uint32_t last = n - (kStatisticsTasks - 1) * chunk;
        static constexpr uint32_t together = kChunksTogether<T>;
        static_assert(kStatisticsTasks % together == 0, "tasks take whole groups of chunks");
        using Group = std::array<ChunkStatistics<T>, together>;
        for (int c = 0; c < std::min(channels, channelCount(image)); ++c) {
            std::array<QFuture<Group>, kStatisticsTasks / together> tasks;
            for (uint32_t g = 0; g < tasks.size(); ++g) {
                const T *first = planes + size_t(c) * n + size_t(g) * together * chunk;
                const uint32_t extra = g + 1 < tasks.size() ? 0 : last - chunk;
                tasks[g] = QtConcurrent::run(QThreadPool::globalInstance(), [first, chunk, extra, range, moments] {
                    const T *starts[together];
                    for (uint32_t k = 0; k < together; ++k)
                        starts[k] = first + size_t(k) * chunk;
                    Group group;
                    chunkStatisticsTogether<T, together>(starts, chunk, extra, range, moments, group.data());
                    return group;
                });
            }
            // A wait on a task that no worker has taken yet runs it in this
            // thread, so waiting from inside a pool task cannot deadlock.
            std::pair<T, T> extremes = minMaxStart<T>();
            SumData total;
            for (auto &task : tasks) {
                for (const ChunkStatistics<T> &part : task.result()) {
                    foldMinMax(extremes, part.range.first, part.range.second);
                    total.sum += part.sums.sum;
                    total.sumOfSquares += part.sums.sumOfSquares;
                    total.count += part.sums.count;
                }
            }
            if (range) {
                record.minimum[c] = double(extremes.first);
                record.maximum[c] = double(extremes.second);
            }
            if (moments && total.count > 0) {
                record.mean[c] = total.sum / total.count;
                const double variance = total.sumOfSquares / total.count - record.mean[c] * record.mean[c];
                record.standardDeviation[c] = std::sqrt(variance);
            }
        }
    });
}

// The first plane's range of a kept mosaic: that of its red sites and of
// the black last column the nearest-neighbour demosaic leaves, since every
// red site of the rows it reads lies in one of its 2 x 2 blocks.
void computeMosaicRange(FITSData &image)
{
    ImageStatistics &record = image.stats;
    const auto scan = [&](auto tag) {
        using T = decltype(tag);
        const size_t width = record.width;
        const int offsetY = image.bayer.offsetY == 1 ? 1 : 0;
        const size_t rows = size_t(std::max(int(record.height) - offsetY, 0));
        const uint32_t word = patternWord(image.bayer.pattern);
        std::pair<T, T> extremes = minMaxStart<T>();
        foldMinMax(extremes, T(0), T(0));
        if (width >= 2 && rows >= 2 && word && image.pixels &&
            uint64_t(record.height) * width * sizeof(T) <= image.pixelBytes) {
            const T *source = reinterpret_cast<const T *>(image.pixels.get()) + size_t(offsetY) * width;
            size_t redX = 0, redY = 0;
            for (size_t i = 0; i < 4; ++i) {
                if (colourAt(word, int(i & 1), int(i >> 1)) == 0)
                    redX = i & 1, redY = i >> 1;
            }
            const size_t redRows = (rows - redY + 1) / 2;
            const T *first = source + redY * width;
            std::array<QFuture<std::pair<T, T>>, kStatisticsTasks> tasks;
            for (size_t k = 0; k < tasks.size(); ++k) {
                const size_t begin = redRows * k / tasks.size(), end = redRows * (k + 1) / tasks.size();
                tasks[k] = QtConcurrent::run(QThreadPool::globalInstance(), [=] {
                    return siteMinMax(first + begin * 2 * width, width, end - begin, 2 * width, redX);
                });
            }
            for (auto &task : tasks) {
                const std::pair<T, T> part = task.result();
                foldMinMax(extremes, part.first, part.second);
            }
        }
        record.minimum[0] = double(extremes.first);
        record.maximum[0] = double(extremes.second);
    };
    if (record.sampleType == SampleType::UInt8)
        scan(uint8_t());
    else if (record.sampleType == SampleType::UInt16)
        scan(uint16_t());
}

void resetRange(ImageStatistics &record)
{
    for (int c = 0; c < 3; ++c) {
        record.minimum[c] = 1.0e30;
        record.maximum[c] = -1.0e30;
    }
}

void computeMedians(FITSData &image, bool roi)
{
    ImageStatistics &record = roi ? image.roiStats : image.stats;
    for (double &median : record.median)
        median = 0;
    withSampleType(record.sampleType, [&](auto tag) {
        using T = decltype(tag);
        const T *planes = nullptr;
        if (!planesOf(image, roi, planes))
            return;
        const uint32_t n = record.samplesPerChannel;
        std::vector<int32_t> values;
        for (int c = 0; c < channelCount(image); ++c)
            record.median[c] = n ? subsampledMedian(planes + size_t(c) * n, n, values) : 0.0;
    });
}

} // namespace

template <typename T>
std::pair<T, T> FITSData::chunkMinMax(uint32_t start, uint32_t count, bool roi) const
{
    if (count == 0)
        return minMaxStart<T>();
    const T *data = reinterpret_cast<const T *>(roi ? roiPixels.get() : pixels.get());
    return minMaxOf(data + start, count);
}

#define SKYIMG_CHUNK_MIN_MAX(T) template std::pair<T, T> FITSData::chunkMinMax<T>(uint32_t, uint32_t, bool) const;
SKYIMG_CHUNK_MIN_MAX(uint8_t)
SKYIMG_CHUNK_MIN_MAX(uint16_t)
SKYIMG_CHUNK_MIN_MAX(int16_t)
SKYIMG_CHUNK_MIN_MAX(uint32_t)
SKYIMG_CHUNK_MIN_MAX(int32_t)
SKYIMG_CHUNK_MIN_MAX(float)
SKYIMG_CHUNK_MIN_MAX(int64_t)
SKYIMG_CHUNK_MIN_MAX(double)

void FITSData::computeStatistics(bool roi)
{
    // The header is asked first for all it may state; what it does not
    // state is computed, minimum/maximum and mean/deviation together.
    ImageStatistics &record = roi ? roiStats : stats;
    fitsfile *header = roi ? nullptr : fitsHandle.get();
    if (!roi && (previewOnly || holdsMosaic)) {
        // The preview reads the first channel's range alone.
        if (header && minMaxFromHeader(header, record))
            return;
        resetRange(record);
        if (holdsMosaic)
            computeMosaicRange(*this);
        else
            computeRangeAndMoments(*this, false, true, false, 1);
        return;
    }
    const bool range = !(header && minMaxFromHeader(header, record));
    const bool median = !(header && medianFromHeader(header, record));
    const bool moments = !(header && meanDeviationFromHeader(header, record));
    if (range)
        resetRange(record);
    if (range || moments)
        computeRangeAndMoments(*this, roi, range, moments, kMaxChannels);
    if (median)
        computeMedians(*this, roi);
    if (!roi && moments && isHandledSampleType(stats.sampleType))
        stats.signalToNoise = stats.mean[0] / stats.standardDeviation[0];
}

void FITSData::computeMinMax(bool roi)
{
    ImageStatistics &record = roi ? roiStats : stats;
    if (!roi && fitsHandle && minMaxFromHeader(fitsHandle.get(), record))
        return;
    resetRange(record);
    computeRangeAndMoments(*this, roi, true, false, kMaxChannels);
}

void FITSData::computeMedian(bool roi)
{
    ImageStatistics &record = roi ? roiStats : stats;
    if (!roi && fitsHandle && medianFromHeader(fitsHandle.get(), record))
        return;
    computeMedians(*this, roi);
}

void FITSData::computeMeanDeviation(bool roi)
{
    computeRangeAndMoments(*this, roi, false, true, kMaxChannels);
}
