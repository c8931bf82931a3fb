#pragma once

// Per-type statistics kernels over plain sample buffers. The image object's
// statistics operations (stats/fits_data_statistics.cpp) split the work and
// call these.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

// Partial sums of one mean/deviation task.
struct SumData {
    double sum = 0;
    double sumOfSquares = 0;
    double count = 0;
};

// Every statistics pass splits each plane into this many chunks, whatever
// the image size or the number of cores; the last takes the remainder.
// Each chunk is folded and summed in sample order, the chunks' results in
// chunk order, so the values depend on nothing else.
constexpr uint32_t kStatisticsTasks = 16;

// Above this many samples per plane the median uses every step-th sample.
constexpr uint32_t kMedianSampleLimit = 500000;

// The (minimum, maximum) pair a scan starts from: the highest and the
// lowest value of the type, so that an empty range returns it unchanged.
template <typename T>
constexpr std::pair<T, T> minMaxStart()
{
    return {std::numeric_limits<T>::max(), std::numeric_limits<T>::lowest()};
}

// Folds one value into a running (minimum, maximum) pair. The comparisons
// are written so that a NaN never becomes the minimum, replaces the
// running maximum, and is replaced again by the next number.
template <typename T>
inline void foldMinMax(std::pair<T, T> &range, T minimum, T maximum)
{
    range.first = (minimum < range.first) ? minimum : range.first;
    range.second = (range.second > maximum) ? range.second : maximum;
}

// Minimum and maximum of `count` samples.
template <typename T>
std::pair<T, T> minMaxOf(const T *data, uint32_t count)
{
    std::pair<T, T> range = minMaxStart<T>();
    for (uint32_t i = 0; i < count; ++i)
        foldMinMax(range, data[i], data[i]);
    return range;
}

// Minimum and maximum of the samples in every second column from
// `firstColumn` on, in `rowCount` rows of `width` samples that lie
// `rowStride` samples apart: the sites of one colour of a Bayer mosaic.
template <typename T>
std::pair<T, T> siteMinMax(const T *firstRow, size_t width, size_t rowCount, size_t rowStride, size_t firstColumn)
{
    std::pair<T, T> range = minMaxStart<T>();
    for (size_t r = 0; r < rowCount; ++r) {
        const T *row = firstRow + r * rowStride;
        for (size_t x = firstColumn; x < width; x += 2)
            foldMinMax(range, row[x], row[x]);
    }
    return range;
}

// Sum and sum of squares of `count` samples from element `start` on.
template <typename T>
SumData chunkSums(uint32_t start, uint32_t count, const T *buffer)
{
    SumData sums;
    sums.count = double(count);
    if (count == 0)
        return sums;
    const T *data = buffer + start;
    if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
        // Narrow integers sum exactly in 64 bits, even the squares of 2^32
        // samples, and the loop vectorises; the result is the exact sum
        // rounded once, where a running double sum rounds at every step
        // once it passes 2^53.
        int64_t sum = 0;
        uint64_t squares = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const int64_t x = data[i];
            sum += x;
            squares += uint64_t(x * x);
        }
        sums.sum = double(sum);
        sums.sumOfSquares = double(squares);
    } else {
        double sum = 0, squares = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const double x = double(data[i]);
            sum += x;
            squares += x * x;
        }
        sums.sum = sum;
        sums.sumOfSquares = squares;
    }
    return sums;
}

// Minimum, maximum, sum and sum of squares of unsigned 16-bit samples in
// one pass over vector lanes where the machine has them. Exactly what the
// plain loops give: the sums are exact integers either way.
void rangeAndSums16(const uint16_t *data, uint32_t count, uint16_t &minimum, uint16_t &maximum, int64_t &sum,
                    uint64_t &squares);

// Minimum and maximum of unsigned 16-bit samples in vector lanes: those
// of minMaxOf.
void range16(const uint16_t *data, uint32_t count, uint16_t &minimum, uint16_t &maximum);

// Minimum/maximum and sums of one chunk, each only when asked for, in one
// pass: the values of minMaxOf and chunkSums, which fold and add the same
// samples in the same order.
template <typename T>
struct ChunkStatistics {
    std::pair<T, T> range = minMaxStart<T>();
    SumData sums;
};

template <typename T>
ChunkStatistics<T> chunkStatistics(const T *data, uint32_t count, bool range, bool sums)
{
    ChunkStatistics<T> result;
    if (!sums) {
        if constexpr (std::is_same_v<T, uint16_t>) {
            if (range)
                range16(data, count, result.range.first, result.range.second);
        } else {
            if (range)
                result.range = minMaxOf(data, count);
        }
        return result;
    }
    if (!range) {
        result.sums = chunkSums(0, count, data);
        return result;
    }
    result.sums.count = double(count);
    if constexpr (std::is_same_v<T, uint16_t>) {
        int64_t sum = 0;
        uint64_t squares = 0;
        rangeAndSums16(data, count, result.range.first, result.range.second, sum, squares);
        result.sums.sum = double(sum);
        result.sums.sumOfSquares = double(squares);
    } else if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
        // As in chunkSums: exact 64-bit sums, and a loop that vectorises.
        T minimum = result.range.first, maximum = result.range.second;
        int64_t sum = 0;
        uint64_t squares = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const T x = data[i];
            minimum = x < minimum ? x : minimum;
            maximum = maximum > x ? maximum : x;
            const int64_t v = x;
            sum += v;
            squares += uint64_t(v * v);
        }
        result.range = {minimum, maximum};
        result.sums.sum = double(sum);
        result.sums.sumOfSquares = double(squares);
    } else {
        double sum = 0, squares = 0;
        for (uint32_t i = 0; i < count; ++i) {
            foldMinMax(result.range, data[i], data[i]);
            const double x = double(data[i]);
            sum += x;
            squares += x * x;
        }
        result.sums.sum = sum;
        result.sums.sumOfSquares = squares;
    }
    return result;
}

// Chunks whose sums are running doubles: every addition waits for the one
// before, so a core given one chunk at a time idles between them. A task
// works on this many chunks side by side instead, each still summed in its
// own order.
template <typename T>
constexpr uint32_t kChunksTogether = (std::is_integral_v<T> && sizeof(T) <= 2) ? 1 : 4;

template <typename T>
void chunkStatisticsOfFour(const T *const data[4], uint32_t count, uint32_t extra, ChunkStatistics<T> out[4]);
// The range alone of four float chunks in vector lanes, one chunk per lane.
void floatRangeOfFour(const float *const data[4], uint32_t count, uint32_t extra, ChunkStatistics<float> out[4]);

// chunkStatistics of K chunks at once: chunk k starts at `data[k]` and has
// `count` samples, the last `extra` more.
template <typename T, uint32_t K>
void chunkStatisticsTogether(const T *const data[K], uint32_t count, uint32_t extra, bool range, bool sums,
                             ChunkStatistics<T> out[K])
{
    const auto oneByOne = [&] {
        for (uint32_t k = 0; k < K; ++k)
            out[k] = chunkStatistics(data[k], count + (k == K - 1 ? extra : 0), range, sums);
    };
    if constexpr (K != 4) {
        oneByOne();
    } else if constexpr (std::is_same_v<T, float>) {
        if (range && !sums)
            floatRangeOfFour(data, count, extra, out);
        else if (!(range && sums))
            oneByOne();
        else
            chunkStatisticsOfFour(data, count, extra, out);
    } else if (!(range && sums)) {
        oneByOne();
    } else {
        chunkStatisticsOfFour(data, count, extra, out);
    }
}

// The float case in vector lanes, one chunk per lane.
void floatStatisticsOfFour(const float *const data[4], uint32_t count, uint32_t extra, ChunkStatistics<float> out[4]);

template <typename T>
void chunkStatisticsOfFour(const T *const data[4], uint32_t count, uint32_t extra, ChunkStatistics<T> out[4])
{
    if constexpr (std::is_same_v<T, float>) {
        floatStatisticsOfFour(data, count, extra, out);
        return;
    }
    constexpr uint32_t K = 4;
    struct Running {
        T minimum = minMaxStart<T>().first;
        T maximum = minMaxStart<T>().second;
        double sum = 0;
        double squares = 0;
        void add(T x)
        {
            minimum = (x < minimum) ? x : minimum;
            maximum = (maximum > x) ? maximum : x;
            const double v = double(x);
            sum += v;
            squares += v * v;
        }
    };
    // Four separate variables, which the compiler keeps in registers.
    Running a, b, c, d;
    const T *pa = data[0], *pb = data[1], *pc = data[2], *pd = data[3];
    for (uint32_t i = 0; i < count; ++i) {
        a.add(pa[i]);
        b.add(pb[i]);
        c.add(pc[i]);
        d.add(pd[i]);
    }
    for (uint32_t i = count; i < count + extra; ++i)
        d.add(pd[i]);
    const Running running[K] = {a, b, c, d};
    for (uint32_t k = 0; k < K; ++k) {
        out[k].range = {running[k].minimum, running[k].maximum};
        out[k].sums.sum = running[k].sum;
        out[k].sums.sumOfSquares = running[k].squares;
        out[k].sums.count = double(count + (k == K - 1 ? extra : 0));
    }
}

// A sample as the median sees it: integers bit for bit in 32 bits (wider
// ones keep their low half), floating values truncated toward zero, with
// NaN and values out of range as the lowest int.
template <typename T>
inline int32_t medianSample(T x)
{
    if constexpr (std::is_floating_point_v<T>) {
        const double v = double(x);
        if (!(v > -2147483649.0 && v < 2147483648.0))
            return std::numeric_limits<int32_t>::min();
        return int32_t(v);
    } else {
        return int32_t(uint32_t(x));
    }
}

// Distance between the samples the median uses: 1 up to the limit, then
// the integer part of n / limit + 0.999.
uint64_t medianStep(uint32_t count);

// Median of the values (reordered on the way), as GSL takes it from sorted
// data: the middle value, the mean of the two middle values, or 0 for none.
double medianOfValues(std::vector<int32_t> &values);

// Median of the middle order statistics of a sorted sequence: the value at
// rank n / 2 and, for an even n, the one below it (`lower`).
double medianOfMiddle(double lower, double upper, bool even);

// A subsample's samples lie a cache line or more apart, each a miss: asking
// for the one some steps ahead overlaps the waits.
template <typename T>
inline void prefetchSubsample(const T *plane, uint64_t p, uint64_t step, uint64_t count)
{
    constexpr uint64_t kAhead = 16;
    if (step > 1 && p + kAhead * step < count)
        __builtin_prefetch(plane + p + kAhead * step);
}

// Median of every step-th sample of a plane of `count` samples; `values` is
// scratch space kept between calls.
template <typename T>
double subsampledMedian(const T *plane, uint32_t count, std::vector<int32_t> &values)
{
    const uint64_t step = medianStep(count);
    if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
        // Few enough distinct values to count them: the middle values come
        // from the counts in one pass, with no selection over a copy.
        static_cast<void>(values);
        constexpr int64_t lowest = std::numeric_limits<T>::lowest();
        std::vector<uint32_t> counts(size_t(1) << (8 * sizeof(T)), 0);
        uint64_t n = 0;
        for (uint64_t p = 0; p < count; p += step, ++n) {
            prefetchSubsample(plane, p, step, count);
            ++counts[size_t(int64_t(plane[p]) - lowest)];
        }
        if (n == 0)
            return 0.0;
        const uint64_t upperRank = n / 2;
        const bool even = n % 2 == 0;
        uint64_t seen = 0;
        int64_t lower = 0;
        for (size_t v = 0; v < counts.size(); ++v) {
            if (counts[v] == 0)
                continue;
            if (even && seen <= upperRank - 1 && upperRank - 1 < seen + counts[v])
                lower = int64_t(v) + lowest;
            seen += counts[v];
            if (seen > upperRank)
                return medianOfMiddle(double(lower), double(int64_t(v) + lowest), even);
        }
        return 0.0;
    }
    values.clear();
    values.reserve(size_t((uint64_t(count) + step - 1) / step));
    for (uint64_t p = 0; p < count; p += step) {
        prefetchSubsample(plane, p, step, count);
        values.push_back(medianSample(plane[p]));
    }
    return medianOfValues(values);
}
