#include "image/fits_data.h"
#include "stats/statistics.h"
#include "tests/fixtures.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

template <typename T>
void setImage(FITSData &data, const std::vector<T> &samples, SampleType sampleType, uint32_t perChannel,
              uint8_t channels)
{
    data.stats.sampleType = sampleType;
    data.stats.bytesPerSample = int(sizeof(T));
    data.stats.samplesPerChannel = perChannel;
    data.stats.width = uint16_t(std::min<uint32_t>(perChannel, 65535));
    data.stats.height = perChannel ? uint16_t(perChannel / data.stats.width) : 0;
    data.stats.channels = channels;
    data.pixelBytes = uint32_t(samples.size() * sizeof(T));
    data.pixels.reset(new uint8_t[data.pixelBytes]);
    if (data.pixelBytes)
        std::memcpy(data.pixels.get(), samples.data(), data.pixelBytes);
}

struct Reference {
    double minimum[3] = {};
    double maximum[3] = {};
    double mean[3] = {};
    double deviation[3] = {};
    double median[3] = {};
};

// Straightforward serial statistics, for samples without NaN.
template <typename T>
Reference serialStatistics(const std::vector<T> &samples, uint32_t n, int channels)
{
    Reference r;
    const uint32_t step = n > 500000 ? uint32_t(std::floor(n / 500000.0 + 0.999)) : 1;
    for (int c = 0; c < channels; ++c) {
        const T *plane = samples.data() + size_t(c) * n;
        long double sum = 0, squares = 0;
        T lo = plane[0], hi = plane[0];
        std::vector<int64_t> sampled;
        for (uint32_t i = 0; i < n; ++i) {
            lo = std::min(lo, plane[i]);
            hi = std::max(hi, plane[i]);
            sum += plane[i];
            squares += (long double)plane[i] * plane[i];
            if (i % step == 0) {
                int64_t v;
                if (std::is_floating_point<T>::value) {
                    v = int64_t(std::trunc(double(plane[i])));
                } else {
                    v = int64_t(int32_t(uint32_t(uint64_t(plane[i]))));
                }
                sampled.push_back(v);
            }
        }
        std::sort(sampled.begin(), sampled.end());
        const size_t m = sampled.size();
        r.median[c] = m % 2 ? double(sampled[m / 2]) : (double(sampled[m / 2 - 1]) + double(sampled[m / 2])) / 2;
        r.minimum[c] = double(lo);
        r.maximum[c] = double(hi);
        r.mean[c] = double(sum / n);
        r.deviation[c] = double(std::sqrt(squares / n - (sum / n) * (sum / n)));
    }
    return r;
}

template <typename T>
std::vector<T> randomSamples(size_t count, std::mt19937_64 &random)
{
    std::vector<T> samples(count);
    for (T &x : samples) {
        if constexpr (std::is_floating_point<T>::value)
            x = T(std::uniform_real_distribution<double>(-1e6, 1e6)(random));
        else if constexpr (sizeof(T) == 8)
            x = T(random() >> 12);  // sums of squares stay within double precision
        else
            x = T(random());
    }
    return samples;
}

template <typename T>
void expectSerialResults(SampleType sampleType)
{
    std::mt19937_64 random(sampleTypeCode(sampleType));
    for (uint32_t n : {1u, 15u, 16u, 1000u, 4099u}) {
        for (uint8_t channels : {uint8_t(1), uint8_t(3)}) {
            const std::vector<T> samples = randomSamples<T>(size_t(n) * channels, random);
            FITSData data;
            setImage(data, samples, sampleType, n, channels);
            data.computeStatistics(false);
            const Reference r = serialStatistics(samples, n, channels);
            for (int c = 0; c < channels; ++c) {
                SCOPED_TRACE(::testing::Message()
                             << "type " << sampleTypeCode(sampleType) << " n " << n << " channel " << c);
                EXPECT_EQ(data.stats.minimum[c], r.minimum[c]);
                EXPECT_EQ(data.stats.maximum[c], r.maximum[c]);
                EXPECT_EQ(data.stats.median[c], r.median[c]);
                EXPECT_NEAR(data.stats.mean[c], r.mean[c], 1e-12 * std::abs(r.mean[c]) + 1e-9);
                if (n > 1) {
                    EXPECT_NEAR(data.stats.standardDeviation[c], r.deviation[c], 1e-7 * r.deviation[c]);
                }
            }
            EXPECT_DOUBLE_EQ(data.stats.signalToNoise, data.stats.mean[0] / data.stats.standardDeviation[0]);
        }
    }
}

} // namespace

TEST(Statistics, MatchesASerialComputationForEveryType)
{
    expectSerialResults<uint8_t>(SampleType::UInt8);
    expectSerialResults<uint16_t>(SampleType::UInt16);
    expectSerialResults<int16_t>(SampleType::Int16);
    expectSerialResults<uint32_t>(SampleType::UInt32);
    expectSerialResults<int32_t>(SampleType::Int32);
    expectSerialResults<float>(SampleType::Float);
    expectSerialResults<int64_t>(SampleType::Int64);
    expectSerialResults<double>(SampleType::Double);
}

TEST(Statistics, NaNNeverBecomesTheMinimumAndOnlyTheLastMaximum)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::vector<float> samples;
        double minimum, maximum, median;
    };
    const Case cases[] = {
        {{2, nan, 7, 1}, 1, 7, 1.5},
        {{3, 1, nan}, 1, nan, 1},
        {{nan, nan, 5}, 5, 5, -2147483648.0},
        {{-5, -2.5f, -9}, -9, -2.5, -5},
        {{0.25f, 0.5f, 0.75f}, 0.25, 0.75, 0},
        {{3e9f, -3e9f, 1}, -3e9, 3e9, -2147483648.0},
    };
    for (const Case &c : cases) {
        FITSData data;
        setImage(data, c.samples, SampleType::Float, uint32_t(c.samples.size()), 1);
        data.computeStatistics(false);
        EXPECT_EQ(data.stats.minimum[0], c.minimum);
        if (std::isnan(c.maximum)) {
            EXPECT_TRUE(std::isnan(data.stats.maximum[0]));
        } else {
            EXPECT_EQ(data.stats.maximum[0], c.maximum);
        }
        EXPECT_EQ(data.stats.median[0], c.median);
    }
}

TEST(Statistics, MedianSubsamplesLargePlanes)
{
    // Odd positions hold a large value, so the median tells which samples
    // were used: all of them give the mean of the two values.
    struct Case {
        uint32_t n;
        int period;
        double median;
    };
    const Case cases[] = {
        {500000, 2, 30000.5},  // every sample
        {501000, 2, 1},        // every second sample
        {1000000, 2, 1},       // integer part of 2.999: still every second
        {1200000, 3, 1},       // integer part of 3.399: every third
    };
    for (const Case &c : cases) {
        std::vector<uint16_t> samples(c.n);
        for (uint32_t i = 0; i < c.n; ++i)
            samples[i] = i % uint32_t(c.period) ? 60000 : 1;
        FITSData data;
        setImage(data, samples, SampleType::UInt16, c.n, 1);
        data.computeMedian(false);
        EXPECT_EQ(data.stats.median[0], c.median) << c.n;
    }
    EXPECT_EQ(medianStep(500000), 1u);
    EXPECT_EQ(medianStep(200000000), 400u);  // an 8-bit step would wrap here
    EXPECT_EQ(medianStep(UINT32_MAX), 8590u);

    std::vector<int32_t> two = {4, 3};
    EXPECT_EQ(medianOfValues(two), 3.5);
    std::vector<int32_t> none;
    EXPECT_EQ(medianOfValues(none), 0.0);
    std::vector<int32_t> large = {2000000000, 2100000000, -5, 2147483647};
    EXPECT_EQ(medianOfValues(large), 2050000000.0);
}

// Three channels with disjoint ranges: the region copy gets statistics of
// its own, each channel from its own plane.
TEST(Statistics, RegionChannelsAreKeptApart)
{
    std::mt19937_64 random(7);
    std::vector<uint16_t> samples(3 * 999);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint16_t(10000 * (i / 999) + random() % 1000);
    FITSData data;
    setImage(data, samples, SampleType::UInt16, 999, 3);
    data.makeRoiBuffer(QRect(QPoint(11, 1), QPoint(20, 1)));
    ASSERT_TRUE(data.roiPixels);
    for (int c = 0; c < 3; ++c) {
        std::vector<uint16_t> region(samples.begin() + 999 * c + 10, samples.begin() + 999 * c + 20);
        const Reference r = serialStatistics(region, 10, 1);
        EXPECT_EQ(data.roiStats.minimum[c], r.minimum[0]);
        EXPECT_EQ(data.roiStats.maximum[c], r.maximum[0]);
        EXPECT_EQ(data.roiStats.median[c], r.median[0]);
        EXPECT_NEAR(data.roiStats.mean[c], r.mean[0], 1e-9);
    }
}

TEST(Statistics, EmptyConstantAndUnknownImages)
{
    FITSData empty;
    setImage(empty, std::vector<uint8_t>(), SampleType::UInt8, 0, 1);
    empty.stats.mean[0] = 5;
    empty.stats.standardDeviation[0] = 2;
    empty.computeStatistics(false);
    EXPECT_EQ(empty.stats.minimum[0], 255);
    EXPECT_EQ(empty.stats.maximum[0], 0);
    EXPECT_EQ(empty.stats.median[0], 0);
    EXPECT_EQ(empty.stats.mean[0], 5);
    EXPECT_EQ(empty.stats.signalToNoise, 2.5);

    FITSData constant;
    setImage(constant, std::vector<uint16_t>(100, 500), SampleType::UInt16, 100, 1);
    constant.computeStatistics(false);
    EXPECT_EQ(constant.stats.standardDeviation[0], 0);
    EXPECT_EQ(constant.stats.signalToNoise, std::numeric_limits<double>::infinity());

    FITSData unknown;
    setImage(unknown, std::vector<uint8_t>(16, 1), SampleType::None, 16, 1);
    unknown.stats.mean[0] = 3;
    unknown.stats.signalToNoise = 9;
    unknown.computeStatistics(false);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(unknown.stats.minimum[c], 1e30);
        EXPECT_EQ(unknown.stats.maximum[c], -1e30);
        EXPECT_EQ(unknown.stats.median[c], 0);
    }
    EXPECT_EQ(unknown.stats.mean[0], 3);
    EXPECT_EQ(unknown.stats.signalToNoise, 9);

    // A record that claims more samples than the buffer holds reads nothing.
    FITSData inconsistent;
    setImage(inconsistent, std::vector<uint16_t>(4, 8), SampleType::UInt16, 4, 1);
    inconsistent.stats.samplesPerChannel = 400;
    inconsistent.stats.channels = 9;
    inconsistent.computeStatistics(false);
    EXPECT_EQ(inconsistent.stats.minimum[0], 1e30);
}

TEST(Statistics, HeaderKeywordsStandInForComputedValues)
{
    QTemporaryDir dir;
    const int16_t samples[4] = {1, 2, 3, 4};
    struct Case {
        QStringList cards;
        double minimum, maximum, median, mean, deviation, signalToNoise;
    };
    const double computedDeviation = std::sqrt(1.25);
    const Case cases[] = {
        {{}, 1, 4, 2.5, 2.5, computedDeviation, 2.5 / computedDeviation},
        {{"DATAMIN =                    0", "DATAMAX =                    0"}, 1, 4, 2.5, 2.5, computedDeviation,
         2.5 / computedDeviation},
        {{"DATAMIN =                   10", "DATAMAX =                   20"}, 10, 20, 2.5, 2.5, computedDeviation,
         2.5 / computedDeviation},
        {{"MIN1    =                   10", "MAX1    =                   20"}, 10, 20, 2.5, 2.5, computedDeviation,
         2.5 / computedDeviation},
        {{"DATAMIN =                   10"}, 1, 4, 2.5, 2.5, computedDeviation, 2.5 / computedDeviation},
        {{"MEDIAN1 =                123.5"}, 1, 4, 123.5, 2.5, computedDeviation, 2.5 / computedDeviation},
        {{"MEAN1   =                  7.5"}, 1, 4, 2.5, 2.5, computedDeviation, 2.5 / computedDeviation},
        {{"MEAN1   =                  7.5", "STDDEV1 =                    3"}, 1, 4, 2.5, 7.5, 3, 0},
    };
    for (const Case &c : cases) {
        const QString file = dir.filePath("header.fits");
        ASSERT_TRUE(writeFits(file, {16, {2, 2}, samples, TSHORT, c.cards}));
        FITSData data;
        ASSERT_TRUE(data.startLoad(file).result());
        const std::string trace = c.cards.join(' ').toStdString();
        EXPECT_EQ(data.stats.minimum[0], c.minimum) << trace;
        EXPECT_EQ(data.stats.maximum[0], c.maximum) << trace;
        EXPECT_EQ(data.stats.minimum[1], c.minimum == 10 ? 0 : 1e30) << trace;
        EXPECT_EQ(data.stats.median[0], c.median) << trace;
        EXPECT_DOUBLE_EQ(data.stats.mean[0], c.mean) << trace;
        EXPECT_DOUBLE_EQ(data.stats.standardDeviation[0], c.deviation) << trace;
        EXPECT_DOUBLE_EQ(data.stats.signalToNoise, c.signalToNoise) << trace;
    }
}

// The load runs on a pool thread and waits there for its statistics tasks.
// With every other worker busy, those waits must run the tasks themselves.
TEST(Statistics, NestedWaitsDoNotDeadlockOnABusyPool)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("busy.fits");
    std::vector<uint16_t> samples(300 * 200);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint16_t(i % 30000);
    ASSERT_TRUE(writeFits(file, {16, {300, 200}, samples.data(), TUSHORT, {}}));

    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(2);
    QSemaphore started, release;
    QFuture<void> blocker = QtConcurrent::run(pool, [&] {
        started.release();
        release.acquire();
    });
    started.acquire();

    FITSData data;
    QFuture<bool> load = data.startLoad(file);
    QElapsedTimer timer;
    timer.start();
    while (!load.isFinished() && timer.elapsed() < 20000)
        QThread::msleep(5);
    const bool finished = load.isFinished();
    release.release();
    blocker.waitForFinished();
    load.waitForFinished();
    pool->setMaxThreadCount(threads);

    EXPECT_TRUE(finished) << "the load waited for tasks that no worker could start";
    EXPECT_TRUE(load.result());
    EXPECT_EQ(data.stats.maximum[0], 29999);
}

// The one-pass kernels give bit for bit what the separate passes give:
// the 16-bit vector lanes across their blocks and at the extremes, the
// median counted instead of selected for narrow integers.
template <typename T>
void expectOnePassEqualsSeparatePasses(const std::vector<T> &samples)
{
    for (const uint32_t count : {0u, 1u, 7u, 8u, 9u, 131071u, 131072u, 131080u, uint32_t(samples.size())}) {
        if (count > samples.size())
            continue;
        const ChunkStatistics<T> both = chunkStatistics(samples.data(), count, true, true);
        const std::pair<T, T> range = minMaxOf(samples.data(), count);
        const SumData sums = chunkSums(0, count, samples.data());
        EXPECT_EQ(both.range, range) << count;
        EXPECT_EQ(chunkStatistics(samples.data(), count, true, false).range, range) << count;
        EXPECT_EQ(both.sums.sum, sums.sum) << count;
        EXPECT_EQ(both.sums.sumOfSquares, sums.sumOfSquares) << count;
        EXPECT_EQ(both.sums.count, sums.count) << count;

        std::vector<int32_t> scratch, selected;
        for (uint32_t i = 0; i < count; i += uint32_t(medianStep(count)))
            selected.push_back(medianSample(samples[i]));
        EXPECT_EQ(subsampledMedian(samples.data(), count, scratch), medianOfValues(selected)) << count;
    }
}

TEST(Statistics, OnePassKernelsEqualSeparatePasses)
{
    std::mt19937 rng(11);
    std::vector<uint16_t> wide(1200000);
    for (uint16_t &v : wide)
        v = uint16_t(rng());
    wide[3] = 0;
    wide[131075] = 65535;
    expectOnePassEqualsSeparatePasses(wide);
    std::fill(wide.begin(), wide.end(), uint16_t(65535));
    expectOnePassEqualsSeparatePasses(wide);
    std::vector<uint16_t> sky(600001);
    std::normal_distribution<double> noise(1000, 12);
    for (uint16_t &v : sky)
        v = uint16_t(std::clamp(noise(rng), 0.0, 65535.0));
    expectOnePassEqualsSeparatePasses(sky);

    std::vector<int16_t> signedSamples(300000);
    for (int16_t &v : signedSamples)
        v = int16_t(rng());
    expectOnePassEqualsSeparatePasses(signedSamples);
    std::vector<uint8_t> bytes(500001);
    for (uint8_t &v : bytes)
        v = uint8_t(rng());
    expectOnePassEqualsSeparatePasses(bytes);
    std::vector<float> floats(200000);
    for (float &v : floats)
        v = float(noise(rng)) * 0.001f;
    expectOnePassEqualsSeparatePasses(floats);
}

// Four chunks side by side (in vector lanes for floats) give each chunk's
// own values, NaN and infinities among the samples, odd lengths and a
// longer last chunk included.
template <typename T>
void expectChunksTogetherEqualOneByOne(const std::vector<T> &samples)
{
    for (const uint32_t count : {0u, 1u, 3u, 4u, 5u, 1001u}) {
        for (const uint32_t extra : {0u, 3u, 15u}) {
            if (4 * count + extra > samples.size())
                continue;
            const T *starts[4] = {samples.data(), samples.data() + count, samples.data() + 2 * count,
                                  samples.data() + 3 * count};
            ChunkStatistics<T> together[4], rangeOnly[4];
            chunkStatisticsTogether<T, 4>(starts, count, extra, true, true, together);
            chunkStatisticsTogether<T, 4>(starts, count, extra, true, false, rangeOnly);
            for (int k = 0; k < 4; ++k) {
                const ChunkStatistics<T> alone = chunkStatistics(starts[k], count + (k == 3 ? extra : 0), true, true);
                const auto same = [](auto a, auto b) { return std::memcmp(&a, &b, sizeof(a)) == 0; };
                EXPECT_TRUE(same(together[k].range.first, alone.range.first)) << count << " " << k;
                EXPECT_TRUE(same(together[k].range.second, alone.range.second)) << count << " " << k;
                EXPECT_TRUE(same(rangeOnly[k].range.first, alone.range.first)) << count << " " << k;
                EXPECT_TRUE(same(rangeOnly[k].range.second, alone.range.second)) << count << " " << k;
                EXPECT_TRUE(same(together[k].sums.sum, alone.sums.sum)) << count << " " << k;
                EXPECT_TRUE(same(together[k].sums.sumOfSquares, alone.sums.sumOfSquares)) << count << " " << k;
                EXPECT_EQ(together[k].sums.count, alone.sums.count);
            }
        }
    }
}

TEST(Statistics, ChunksSideBySideEqualOneByOne)
{
    std::mt19937 rng(12);
    std::normal_distribution<double> noise(0.1, 0.03);
    std::vector<float> floats(4100);
    for (float &v : floats)
        v = float(noise(rng));
    for (const size_t at : {size_t(0), size_t(2), size_t(7), size_t(1003), size_t(2050), size_t(4099)})
        floats[at] = std::numeric_limits<float>::quiet_NaN();
    floats[11] = std::numeric_limits<float>::infinity();
    floats[3010] = -std::numeric_limits<float>::infinity();
    floats[4010] = 3e38f;
    expectChunksTogetherEqualOneByOne(floats);
    std::vector<double> doubles(floats.begin(), floats.end());
    expectChunksTogetherEqualOneByOne(doubles);
    std::vector<int32_t> ints(4100);
    for (int32_t &v : ints)
        v = int32_t(rng());
    expectChunksTogetherEqualOneByOne(ints);
}
