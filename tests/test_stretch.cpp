#include "debayer/demosaic.h"
#include "image/fits_data.h"
#include "image/image_types.h"
#include "stretch/fits_preview.h"
#include "stretch/narrow.h"
#include "stretch/smooth_scale.h"
#include "stretch/stretch_renderer.h"
#include "tests/fixtures.h"

#include <QTemporaryDir>

#include <fitsio.h>
#include <gtest/gtest.h>

#include <random>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// 10 x 10 16-bit plane whose median is 1000 and whose median absolute
// deviation is 20; its first seven samples are the ones whose rendering is
// known.
const std::vector<uint16_t> kProbeSamples = {900, 917, 1000, 1100, 2000, 10000, 65535};
const std::vector<uint8_t> kProbeBytes = {0, 1, 64, 109, 208, 249, 255};

std::vector<uint16_t> workedExamplePlane()
{
    std::vector<uint16_t> plane = kProbeSamples;
    plane.insert(plane.end(), 30, 980);
    plane.insert(plane.end(), 33, 1000);
    plane.insert(plane.end(), 30, 1020);
    return plane;
}

template <typename To, typename From>
std::vector<To> convert(const std::vector<From> &from, To factor = To(1))
{
    std::vector<To> to;
    for (From v : from)
        to.push_back(To(v) * factor);
    return to;
}

QImage blankPicture(int width, int height, int channels)
{
    QImage picture(width, height, channels == 3 ? QImage::Format_RGB32 : QImage::Format_Indexed8);
    picture.fill(0x5a);  // neither 0 nor 255: unwritten pixels show
    return picture;
}

struct Rendering {
    bool ok = false;
    QImage picture;
    StretchParams params;
    int64_t inputRange = 0;
};

// Renders `samples` (planes one after another) the way the preview does,
// with computed parameters unless `params` is given.
template <typename T>
Rendering render(const std::vector<T> &samples, int width, int height, int channels, SampleType sampleType,
                 const StretchParams *params = nullptr)
{
    Rendering r;
    StretchRenderer renderer(width, height, channels, sampleType);
    r.params = params ? *params : renderer.computeParams(samples.data());
    renderer.setParams(r.params);
    r.picture = blankPicture(width, height, channels);
    r.ok = renderer.run(samples.data(), r.picture, 1);
    r.inputRange = renderer.inputRange;
    return r;
}

std::vector<uint8_t> greyBytes(const QImage &picture)
{
    std::vector<uint8_t> bytes;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            bytes.push_back(picture.constScanLine(y)[x]);
    return bytes;
}

void expectSameParams(const ChannelStretchParams &a, const ChannelStretchParams &b)
{
    EXPECT_EQ(a.shadows, b.shadows);
    EXPECT_EQ(a.highlights, b.highlights);
    EXPECT_EQ(a.midtones, b.midtones);
}

void expectDefaults(const ChannelStretchParams &p)
{
    expectSameParams(p, ChannelStretchParams());
    EXPECT_EQ(p.rangeLow, 0.0f);
    EXPECT_EQ(p.rangeHigh, 1.0f);
}

} // namespace

TEST(StretchMedian, UpperMiddleElementBySelection)
{
    struct Case {
        std::vector<int> values;
        int median;
    } cases[] = {
        {{5}, 5}, {{2, 1}, 2}, {{4, 1, 3, 2}, 3}, {{3, 1, 2}, 2}, {{7, 1, 7, 7}, 7}, {{9, 8, 1, 2, 3, 7}, 7},
    };
    for (const Case &c : cases) {
        std::vector<uint16_t> values = convert<uint16_t>(c.values);
        EXPECT_EQ(StretchRenderer::sampleMedian(values), c.median);
    }
    std::vector<double> reals = {0.5, -1.0, 2.0, 1.0};
    EXPECT_EQ(StretchRenderer::sampleMedian(reals), 1.0);
    std::vector<float> empty;
    EXPECT_EQ(StretchRenderer::sampleMedian(empty), 0.0f);
}

TEST(StretchSubsample, BudgetBoundaries)
{
    struct Case {
        size_t samples;
        size_t count;
        size_t step;
    } cases[] = {
        {1, 1, 1},
        {499999, 499999, 1},
        {500000, 500000, 1},
        {999999, 999999, 1},
        {1000000, 500000, 2},
        {1499999, 749999, 2},
        {1500000, 500000, 3},
    };
    std::vector<int64_t> plane(1500000);
    for (size_t i = 0; i < plane.size(); ++i)
        plane[i] = int64_t(i);
    for (const Case &c : cases) {
        const std::vector<int64_t> taken = StretchRenderer::planeSubsample(plane.data(), c.samples);
        ASSERT_EQ(taken.size(), c.count) << c.samples;
        EXPECT_EQ(taken.front(), 0);
        if (c.count > 1) {
            EXPECT_EQ(size_t(taken[1]), c.step) << c.samples;
        }
        EXPECT_EQ(size_t(taken.back()), (c.count - 1) * c.step) << c.samples;
    }
}

TEST(StretchSubsample, NaNSamplesAreLeftOut)
{
    const std::vector<float> plane = {kNaN, 1.0f, kNaN, 3.0f};
    EXPECT_EQ(StretchRenderer::planeSubsample(plane.data(), plane.size()), (std::vector<float>{1.0f, 3.0f}));
}

TEST(StretchParams, ParametersComeFromTheSubsample)
{
    // Even samples 0, odd samples 1000: the full plane's median would be
    // 1000, but every second sample of a million is taken, all of them 0.
    std::vector<uint16_t> plane(1000000);
    for (size_t i = 1; i < plane.size(); i += 2)
        plane[i] = 1000;
    const ChannelStretchParams p = StretchRenderer::computeChannelParams(plane.data(), 1000, 1000, 65536);
    EXPECT_EQ(p.midtones, 0.0f);

    // 1,499,999 samples give 749,999 taken ones; the first 375,000 are 0.
    // Had 750,000 been taken, the median would be 1000.
    plane.assign(1499999, 1000);
    std::fill(plane.begin(), plane.begin() + 750000, 0);
    const ChannelStretchParams q = StretchRenderer::computeChannelParams(plane.data(), 1499999, 1, 65536);
    EXPECT_EQ(q.midtones, 0.0f);
}

TEST(StretchParams, WorkedExample)
{
    const std::vector<uint16_t> plane = workedExamplePlane();
    const Rendering r = render(plane, 10, 10, 1, SampleType::UInt16);
    ASSERT_TRUE(r.ok);
    const ChannelStretchParams &p = r.params.channel[0];
    EXPECT_NEAR(p.shadows, 0.0139919, 1e-7);
    EXPECT_EQ(p.highlights, 1.0f);
    EXPECT_NEAR(p.midtones, 0.0037910, 1e-7);
    EXPECT_EQ(p.rangeLow, 0.0f);
    EXPECT_EQ(p.rangeHigh, 1.0f);
    expectDefaults(r.params.channel[1]);
    expectDefaults(r.params.channel[2]);
    std::vector<uint8_t> bytes = greyBytes(r.picture);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 7), kProbeBytes);

    // The thresholds: 916 is the shadow point, 65535 the highlight point.
    const std::vector<uint16_t> edges = {915, 916, 917, 65535};
    const Rendering e = render(edges, 4, 1, 1, SampleType::UInt16, &r.params);
    EXPECT_EQ(greyBytes(e.picture), (std::vector<uint8_t>{0, 0, 1, 255}));
}

TEST(StretchParams, IntegerTypesAgreeOnTheSameValues)
{
    const std::vector<uint16_t> plane = workedExamplePlane();
    const Rendering reference = render(plane, 10, 10, 1, SampleType::UInt16);
    const Rendering wide = render(convert<uint32_t>(plane), 10, 10, 1, SampleType::UInt32);
    const Rendering signed64 = render(convert<int64_t>(plane), 10, 10, 1, SampleType::Int64);
    for (const Rendering *r : {&wide, &signed64}) {
        ASSERT_TRUE(r->ok);
        EXPECT_EQ(r->inputRange, 65536);
        expectSameParams(r->params.channel[0], reference.params.channel[0]);
        EXPECT_EQ(greyBytes(r->picture), greyBytes(reference.picture));
    }
}

TEST(StretchParams, ConstantPlanes)
{
    // Three constant 8-bit planes, each stretched on its own: 0 has m = 0,
    // 64 has m = 0.25 (the target), 128 has m = 0.5 exactly (lower case).
    std::vector<uint8_t> planes(3 * 16);
    std::fill(planes.begin() + 16, planes.begin() + 32, 64);
    std::fill(planes.begin() + 32, planes.end(), 128);
    StretchRenderer renderer(4, 4, 3, SampleType::UInt8);
    const StretchParams p = renderer.computeParams(planes.data());
    const float midtones[] = {0.0f, 0.5f, 0.75f};
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(p.channel[c].shadows, 0.0f) << c;
        EXPECT_EQ(p.channel[c].highlights, 1.0f) << c;
        EXPECT_EQ(p.channel[c].midtones, midtones[c]) << c;
    }

    // 255 / 256 lies in the upper half.
    const std::vector<uint8_t> bright(16, 255);
    const ChannelStretchParams b = StretchRenderer::computeChannelParams(bright.data(), 4, 4, 256);
    EXPECT_EQ(b.shadows, 0.0f);
    EXPECT_EQ(b.highlights, 1.0f);
    EXPECT_EQ(b.midtones, StretchRenderer::midtonesTransfer(1.0f - 255.0f / 256.0f, 0.25f));
    EXPECT_GT(b.midtones, 0.98f);
}

TEST(StretchParams, LowerCaseMapsTheMedianToTheBackgroundTarget)
{
    for (float x : {0.001f, 0.01f, 0.1f, 0.4f}) {
        const float m = StretchRenderer::midtonesTransfer(0.25f, x);
        EXPECT_NEAR(StretchRenderer::midtonesTransfer(m, x), 0.25f, 1e-6) << x;
    }
    EXPECT_EQ(StretchRenderer::midtonesTransfer(0.3f, 0.0f), 0.0f);
    EXPECT_EQ(StretchRenderer::midtonesTransfer(0.3f, 0.3f), 0.5f);
    EXPECT_EQ(StretchRenderer::midtonesTransfer(0.3f, 1.0f), 1.0f);
}

TEST(StretchParams, EmptyPlanesKeepTheDefaults)
{
    const std::vector<uint16_t> none(4, 7);
    StretchRenderer renderer(0, 4, 1, SampleType::UInt16);
    expectDefaults(renderer.computeParams(none.data()).channel[0]);
    expectDefaults(StretchRenderer::computeChannelParams(none.data(), 4, 0, 65536));
    const std::vector<float> missing(4, kNaN);
    expectDefaults(StretchRenderer::computeChannelParams(missing.data(), 2, 2, 1));
}

TEST(StretchParams, FloatRangeDetection)
{
    struct Case {
        const char *name;
        size_t brightIndex;
        float brightValue;
        int64_t range;
    } cases[] = {
        {"normalised", 0, 1.0f, 1},
        {"slack above 1", 0, 1.01f, 1},
        {"bright first sample", 0, 1.5f, 65536},
        {"bright sample not looked at", 1, 1.5f, 1},
        {"bright sample looked at", 1000, 1.5f, 65536},
        {"NaN looked at", 0, kNaN, 1},
    };
    for (const Case &c : cases) {
        std::vector<float> plane(2000, 0.2f);
        plane[c.brightIndex] = c.brightValue;
        StretchRenderer single(2000, 1, 1, SampleType::Float);
        single.computeParams(plane.data());
        EXPECT_EQ(single.inputRange, c.range) << c.name;
        const std::vector<double> widened = convert<double>(plane);
        StretchRenderer dual(2000, 1, 1, SampleType::Double);
        dual.computeParams(widened.data());
        EXPECT_EQ(dual.inputRange, c.range) << c.name;
    }

    // On the normalised scale the median is m itself.
    const std::vector<float> plane(2000, 0.2f);
    StretchRenderer renderer(2000, 1, 1, SampleType::Float);
    EXPECT_EQ(renderer.computeParams(plane.data()).channel[0].midtones,
              StretchRenderer::midtonesTransfer(0.25f, 0.2f));
}

TEST(StretchRender, DefaultParametersAreIdentities)
{
    std::vector<uint8_t> bytes(256);
    for (int v = 0; v < 256; ++v)
        bytes[size_t(v)] = uint8_t(v);
    const StretchParams defaults;
    EXPECT_EQ(greyBytes(render(bytes, 16, 16, 1, SampleType::UInt8, &defaults).picture), bytes);

    std::vector<uint16_t> words(65536);
    std::vector<uint8_t> expected(65536);
    for (uint32_t v = 0; v < 65536; ++v) {
        words[v] = uint16_t(v);
        expected[v] = uint8_t(v * 255 / 65535);
    }
    const std::vector<uint8_t> rendered = greyBytes(render(words, 256, 256, 1, SampleType::UInt16, &defaults).picture);
    EXPECT_EQ(rendered, expected);
    EXPECT_EQ(rendered[65534], 254);
    EXPECT_EQ(rendered[65535], 255);
}

TEST(StretchRender, EqualClipPointsRenderBlackOrWhite)
{
    StretchParams params;
    params.channel[0].shadows = params.channel[0].highlights = 0.5f;
    const std::vector<uint16_t> samples = {0, 32766, 32767, 65535};
    EXPECT_EQ(greyBytes(render(samples, 4, 1, 1, SampleType::UInt16, &params).picture),
              (std::vector<uint8_t>{0, 0, 255, 255}));
}

TEST(StretchRender, NormalisedFloatThresholdsAreTheClipPoints)
{
    StretchParams params;
    params.channel[0].shadows = 0.25f;
    params.channel[0].highlights = 0.75f;
    const std::vector<float> samples = {0.2499f, 0.25f, 0.5f, 0.7499f, 0.75f, 1.0f};
    const Rendering single = render(samples, 6, 1, 1, SampleType::Float, &params);
    const Rendering dual = render(convert<double>(samples), 6, 1, 1, SampleType::Double, &params);
    for (const Rendering *r : {&single, &dual}) {
        EXPECT_EQ(r->inputRange, 1);
        const std::vector<uint8_t> bytes = greyBytes(r->picture);
        EXPECT_EQ(bytes[0], 0);
        EXPECT_EQ(bytes[1], 0);
        EXPECT_EQ(bytes[2], 127);  // linear midtones: half way
        EXPECT_EQ(bytes[3], 254);
        EXPECT_EQ(bytes[4], 255);
        EXPECT_EQ(bytes[5], 255);
    }
}

TEST(StretchRender, NaNSamplesRenderBlack)
{
    std::vector<float> plane(64);
    for (size_t i = 0; i < plane.size(); ++i)
        plane[i] = i % 3 ? 100.0f + float(i) : kNaN;
    const Rendering single = render(plane, 8, 8, 1, SampleType::Float);
    const Rendering dual = render(convert<double>(plane), 8, 8, 1, SampleType::Double);
    for (const Rendering *r : {&single, &dual}) {
        ASSERT_TRUE(r->ok);
        const std::vector<uint8_t> bytes = greyBytes(r->picture);
        for (size_t i = 0; i < plane.size(); i += 3)
            EXPECT_EQ(bytes[i], 0) << i;
        EXPECT_GT(bytes[62], 200);
    }
    // Nothing but NaN: defaults, and every pixel black.
    const Rendering nothing = render(std::vector<float>(4, kNaN), 2, 2, 1, SampleType::Float);
    expectDefaults(nothing.params.channel[0]);
    EXPECT_EQ(greyBytes(nothing.picture), std::vector<uint8_t>(4, 0));
}

TEST(StretchRender, ThreeChannelsMakeOpaqueRgb)
{
    // Two pixels; planes red, green, blue one after another.
    const std::vector<uint8_t> planes = {255, 1, 0, 2, 128, 3};
    const StretchParams defaults;
    const Rendering r = render(planes, 2, 1, 3, SampleType::UInt8, &defaults);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.picture.format(), QImage::Format_RGB32);
    EXPECT_EQ(r.picture.pixel(0, 0), 0xFFFF0080u);
    EXPECT_EQ(r.picture.pixel(1, 0), 0xFF010203u);
}

TEST(StretchRender, UnsignedThirtyTwoBitRanges)
{
    // (16-bit values in a 32-bit container: IntegerTypesAgreeOnTheSameValues.)
    // Scaled over the whole type: the same stretch, and every pixel within
    // one level of the 16-bit picture (the clip points round on a finer scale).
    const std::vector<uint16_t> plane = workedExamplePlane();
    const Rendering reference = render(plane, 10, 10, 1, SampleType::UInt16);
    const Rendering wide = render(convert<uint32_t>(plane, 65536u), 10, 10, 1, SampleType::UInt32);
    EXPECT_EQ(wide.inputRange, int64_t(1) << 32);
    expectSameParams(wide.params.channel[0], reference.params.channel[0]);
    const std::vector<uint8_t> expected = greyBytes(reference.picture);
    const std::vector<uint8_t> got = greyBytes(wide.picture);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_LE(std::abs(int(got[i]) - int(expected[i])), 1) << i;
    EXPECT_EQ(got.back(), expected.back());
    EXPECT_EQ(got[6], 255);  // 65535 * 65536 is at the top of the range

    // The range switches above 65535; the top of either range is white.
    struct Case {
        uint32_t top;
        int64_t range;
        uint8_t topLevel;
    } cases[] = {{65535, 65536, 255}, {65536, int64_t(1) << 32, 254}, {0xffffffffu, int64_t(1) << 32, 255}};
    for (const Case &c : cases) {
        const std::vector<uint32_t> samples = {0, 10, 20, c.top};
        const Rendering r = render(samples, 4, 1, 1, SampleType::UInt32);
        EXPECT_EQ(r.inputRange, c.range) << c.top;
        EXPECT_EQ(greyBytes(r.picture).back(), c.topLevel) << c.top;
    }
}

TEST(StretchRender, NegativeIntegersAreBelowTheShadows)
{
    const std::vector<int64_t> samples = {std::numeric_limits<int64_t>::min(), -1, 0, 65535,
                                          std::numeric_limits<int64_t>::max()};
    const StretchParams defaults;
    EXPECT_EQ(greyBytes(render(samples, 5, 1, 1, SampleType::Int64, &defaults).picture),
              (std::vector<uint8_t>{0, 0, 0, 255, 255}));
    // Extreme spread must not overflow the deviations.
    const Rendering r = render(samples, 5, 1, 1, SampleType::Int64);
    EXPECT_TRUE(r.ok);
}

TEST(StretchRender, OtherChannelCountsShowTheFirstPlaneInGrey)
{
    const std::vector<uint8_t> planes = {10, 20, 30, 40};  // two planes of 2 x 1
    const StretchParams defaults;
    const Rendering r = render(planes, 2, 1, 2, SampleType::UInt8, &defaults);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(greyBytes(r.picture), (std::vector<uint8_t>{10, 20}));
}

TEST(StretchRender, RefusesWhatItCannotDraw)
{
    const std::vector<uint16_t> samples(12, 5);
    QImage wrongFormat(4, 3, QImage::Format_RGB32);
    QImage wrongSize(4, 2, QImage::Format_Indexed8);
    QImage right(4, 3, QImage::Format_Indexed8);
    EXPECT_FALSE(StretchRenderer(4, 3, 1, SampleType::UInt16).run(samples.data(), wrongFormat));
    EXPECT_FALSE(StretchRenderer(4, 3, 1, SampleType::UInt16).run(samples.data(), wrongSize));
    EXPECT_FALSE(StretchRenderer(4, 3, 1, SampleType::Int16).run(samples.data(), right));
    EXPECT_FALSE(StretchRenderer(4, 3, 0, SampleType::UInt16).run(samples.data(), right));
    EXPECT_FALSE(StretchRenderer(4, 3, 1, SampleType::UInt16).run(nullptr, right));
    EXPECT_TRUE(StretchRenderer(4, 3, 1, SampleType::UInt16).run(samples.data(), right));
}

TEST(StretchRender, SamplingStepTakesEveryNthRowAndColumn)
{
    std::vector<uint8_t> samples(5 * 3);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint8_t(i);
    StretchRenderer renderer(5, 3, 1, SampleType::UInt8);
    QImage picture = blankPicture(3, 2, 1);
    ASSERT_TRUE(renderer.run(samples.data(), picture, 2));
    EXPECT_EQ(greyBytes(picture), (std::vector<uint8_t>{0, 2, 4, 10, 12, 14}));
}

TEST(NarrowToWidth, StrictLimitsAndProportionalHeight)
{
    struct Case {
        int width, height, limit, expectedWidth, expectedHeight;
    } cases[] = {
        {200, 100, 0, 200, 100},   {200, 100, -5, 200, 100}, {200, 100, 200, 200, 100},
        {200, 100, 201, 200, 100}, {200, 100, 199, 199, 100}, {200, 100, 100, 100, 50},
        {4000, 3000, 100, 100, 75},
    };
    for (const Case &c : cases) {
        QImage picture(c.width, c.height, QImage::Format_RGB32);
        picture.fill(Qt::black);
        for (int quality : {50, 51}) {
            const QImage narrowed = narrowToWidth(picture, c.width, c.limit, quality);
            EXPECT_EQ(narrowed.size(), QSize(c.expectedWidth, c.expectedHeight)) << c.width << " " << c.limit;
        }
    }
}

TEST(NarrowToWidth, QualityAboveFiftySmooths)
{
    // Alternate black and white columns: nearest-neighbour scaling keeps
    // only black and white, smooth scaling mixes them.
    QImage stripes(100, 4, QImage::Format_RGB32);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 100; ++x)
            stripes.setPixel(x, y, x % 2 ? 0xffffffffu : 0xff000000u);
    const auto hasGrey = [](const QImage &picture) {
        for (int x = 0; x < picture.width(); ++x) {
            const int level = qGray(picture.pixel(x, 1));
            if (level != 0 && level != 255)
                return true;
        }
        return false;
    };
    EXPECT_FALSE(hasGrey(narrowToWidth(stripes, 100, 77, 50)));
    EXPECT_TRUE(hasGrey(narrowToWidth(stripes, 100, 77, 51)));
}

// End to end through the loader and the statistics.

namespace {

struct FitsPreview : ::testing::Test {
    QTemporaryDir dir;

    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }

    // 16-bit FITS stores signed values with BZERO 32768.
    bool writeUnsigned16(const QString &file, const std::vector<uint16_t> &samples, long width, long height,
                         long planes = 1)
    {
        std::vector<int16_t> stored;
        for (uint16_t v : samples)
            stored.push_back(int16_t(int32_t(v) - 32768));
        FitsFixture fixture;
        fixture.bitpix = SHORT_IMG;
        fixture.axes = {width, height};
        if (planes > 1)
            fixture.axes.push_back(planes);
        fixture.data = stored.data();
        fixture.dataType = TSHORT;
        fixture.cards = QStringList{"BZERO   =                32768", "BSCALE  =                    1"};
        return writeFits(file, fixture);
    }

    // The previews need the FITS loader and the statistics; until both are
    // in place the tests that use them are skipped.
    bool pipelineReady()
    {
        static const bool ready = [this] {
            const QString file = path("probe.fits");
            if (!writeUnsigned16(file, {1, 2, 3, 4}, 2, 2))
                return false;
            FITSData data;
            return data.startLoad(file).result() && data.stats.sampleType == SampleType::UInt16 &&
                   data.stats.maximum[0] == 4 && data.stats.minimum[0] == 1;
        }();
        return ready;
    }
};

constexpr const char *kPipelineMissing = "FITSData cannot load a plain 16-bit FITS file with its statistics yet";

} // namespace

TEST_F(FitsPreview, MissingFileFailsWithAReason)
{
    QString error;
    EXPECT_TRUE(fitsPreview(path("absent.fits"), 0, 90, &error).isNull());
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(FitsPreview, GreyPreviewHasTheRenderedPixels)
{
    if (!pipelineReady())
        GTEST_SKIP() << kPipelineMissing;
    const std::vector<uint16_t> plane = workedExamplePlane();
    const QString file = path("mono.fits");
    ASSERT_TRUE(writeUnsigned16(file, plane, 10, 10));
    QString error;
    const QImage preview = fitsPreview(file, 0, 90, &error);
    ASSERT_FALSE(preview.isNull()) << error.toStdString();
    EXPECT_EQ(preview.format(), QImage::Format_Indexed8);
    ASSERT_EQ(preview.colorCount(), 256);
    EXPECT_EQ(preview.color(100), qRgb(100, 100, 100));
    EXPECT_EQ(greyBytes(preview), greyBytes(render(plane, 10, 10, 1, SampleType::UInt16).picture));

    EXPECT_EQ(fitsPreview(file, 10, 90).size(), QSize(10, 10));
    EXPECT_EQ(fitsPreview(file, 9, 90).width(), 9);
    EXPECT_EQ(fitsPreview(file, 5, 90).size(), QSize(5, 5));
}

TEST_F(FitsPreview, ColourPreviewHasTheRenderedPixels)
{
    if (!pipelineReady())
        GTEST_SKIP() << kPipelineMissing;
    std::vector<uint16_t> planes = workedExamplePlane();
    for (int c = 1; c < 3; ++c)
        for (uint16_t v : workedExamplePlane())
            planes.push_back(uint16_t(v * (c + 1)));
    const QString file = path("colour.fits");
    ASSERT_TRUE(writeUnsigned16(file, planes, 10, 10, 3));
    QString error;
    const QImage preview = fitsPreview(file, 0, 90, &error);
    ASSERT_FALSE(preview.isNull()) << error.toStdString();
    const QImage expected = render(planes, 10, 10, 3, SampleType::UInt16).picture;
    EXPECT_EQ(preview, expected);
}

TEST_F(FitsPreview, FlatImagesAreWhite)
{
    if (!pipelineReady())
        GTEST_SKIP() << kPipelineMissing;
    const QString mono = path("flat.fits");
    ASSERT_TRUE(writeUnsigned16(mono, std::vector<uint16_t>(7 * 5, 1234), 7, 5));
    const QImage grey = fitsPreview(mono, 0, 90);
    ASSERT_EQ(grey.size(), QSize(7, 5));
    EXPECT_EQ(grey.format(), QImage::Format_Indexed8);
    EXPECT_EQ(greyBytes(grey), std::vector<uint8_t>(35, 255));

    const QString colour = path("flat3.fits");
    ASSERT_TRUE(writeUnsigned16(colour, std::vector<uint16_t>(3 * 7 * 5, 99), 7, 5, 3));
    const QImage rgb = fitsPreview(colour, 0, 90);
    ASSERT_EQ(rgb.size(), QSize(7, 5));
    EXPECT_EQ(rgb.format(), QImage::Format_RGB32);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            EXPECT_EQ(rgb.pixel(x, y), 0xffffffffu);
}

// The grey path must give exactly Qt's smooth scaling of the same picture,
// whatever the ratio, odd sizes and rows padded to four bytes included.
TEST(NarrowToWidth, GreyPathEqualsQtSmoothScaling)
{
    struct Case {
        int width, height, limit;
    } const cases[] = {
        {6000, 40, 800}, {4000, 3000, 100}, {1001, 701, 800}, {103, 7, 100}, {103, 1, 50},
        {10, 2, 9},      {10, 10, 3},       {7, 300, 2},      {257, 3, 256}, {5, 5, 1},
    };
    std::mt19937 rng(3);
    for (const Case &c : cases) {
        for (const QImage::Format format : {QImage::Format_Indexed8, QImage::Format_Grayscale8}) {
            QImage picture(c.width, c.height, format);
            if (format == QImage::Format_Indexed8) {
                QVector<QRgb> grey(256);
                for (int i = 0; i < 256; ++i)
                    grey[i] = qRgb(i, i, i);
                picture.setColorTable(grey);
            }
            for (int y = 0; y < c.height; ++y) {
                uchar *line = picture.scanLine(y);
                for (int x = 0; x < c.width; ++x)
                    line[x] = uchar(x % 7 == 0 ? 255 : rng() & 0xff);
            }
            const QImage expected = picture.scaledToWidth(c.limit, Qt::SmoothTransformation);
            const QImage actual = narrowToWidth(picture, c.width, c.limit, 90);
            ASSERT_EQ(actual.size(), expected.size()) << c.width << "x" << c.height << " -> " << c.limit;
            ASSERT_EQ(actual.format(), expected.format());
            EXPECT_TRUE(actual == expected) << c.width << "x" << c.height << " -> " << c.limit;
        }
    }
}

// Three planes of levels drawn band by band give exactly Qt's smooth
// scaling of the RGB32 picture of the same levels.
TEST(NarrowToWidth, ColourPlanesEqualQtSmoothScaling)
{
    struct Case {
        int width, height, limit;
    } const cases[] = {
        {6000, 40, 800}, {4000, 300, 100}, {1001, 701, 800}, {103, 7, 100}, {103, 1, 50}, {10, 2, 9}, {7, 300, 2},
        {7, 20000, 3},  // tall and narrow: many source rows to a band
    };
    std::mt19937 rng(5);
    for (const Case &c : cases) {
        const size_t planeSize = size_t(c.width) * size_t(c.height);
        std::vector<uint8_t> planes(planeSize * 3);
        for (size_t i = 0; i < planes.size(); ++i)
            planes[i] = uint8_t(i % 11 == 0 ? 255 : rng() & 0xff);
        QImage picture(c.width, c.height, QImage::Format_RGB32);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                const size_t i = size_t(y) * size_t(c.width) + size_t(x);
                picture.setPixel(x, y, qRgb(planes[i], planes[planeSize + i], planes[2 * planeSize + i]));
            }
        const QImage expected = picture.scaledToWidth(c.limit, Qt::SmoothTransformation);
        const QImage actual = smoothScaledPlanesToWidth(
            c.width, c.height, 3, c.limit, [&](int plane, int firstRow, int rowCount, uint8_t *out) {
                std::copy_n(planes.data() + size_t(plane) * planeSize + size_t(firstRow) * size_t(c.width),
                            size_t(rowCount) * size_t(c.width), out);
            });
        ASSERT_EQ(actual.size(), expected.size()) << c.width << "x" << c.height << " -> " << c.limit;
        ASSERT_EQ(actual.format(), expected.format());
        EXPECT_TRUE(actual == expected) << c.width << "x" << c.height << " -> " << c.limit;
    }
}

// Floating-point rows go through vector lanes four samples at a time; rows
// rendered with a step of 2 take the one-sample formula. Every value must
// come out the same both ways, the special ones included.
template <typename T>
void expectVectorLevelsEqualOneSampleLevels(SampleType sampleType)
{
    std::vector<T> values = {T(0), T(-0.0), T(1), T(-1), T(0.5), T(0.25), T(1e-40), T(-1e-40), T(1e30), T(-1e30),
                             std::numeric_limits<T>::infinity(), -std::numeric_limits<T>::infinity(),
                             std::numeric_limits<T>::quiet_NaN(), T(65535), T(65536), T(3e9), T(-3e9)};
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> near(-0.1, 1.2), wide(-70000, 70000);
    for (int i = 0; i < 400; ++i)
        values.push_back(T(i % 2 ? near(rng) : wide(rng)));
    const ChannelStretchParams cases[] = {
        {0.1f, 0.9f, 0.3f, 0, 1}, {0.0f, 1.0f, 0.5f, 0, 1}, {0.2f, 0.2f, 0.05f, 0, 1}, {0.01f, 1.0f, 0.004f, 0, 1},
    };
    for (const ChannelStretchParams &channel : cases) {
        StretchParams params;
        params.channel[0] = channel;
        std::vector<T> row = values;
        // Each clip point itself and the numbers beside it.
        for (const float clip : {channel.shadows, channel.highlights})
            for (const T v : {T(clip), std::nextafter(T(clip), T(-1)), std::nextafter(T(clip), T(2)),
                              T(clip * 65535.0f), std::nextafter(T(clip * 65535.0f), T(0))})
                row.push_back(v);
        std::vector<T> doubled;
        for (const T v : row) {
            doubled.push_back(v);
            doubled.push_back(v);
        }
        const int width = int(doubled.size());
        for (const bool normalised : {true, false}) {
            // A first sample above 1.01 keeps the 16-bit range.
            doubled[0] = normalised ? T(0.5) : T(2);
            StretchRenderer renderer(width, 1, 1, sampleType);
            renderer.setParams(params);
            QImage all = blankPicture(width, 1, 1), everyOther = blankPicture(width / 2, 1, 1);
            ASSERT_TRUE(renderer.run(doubled.data(), all, 1));
            ASSERT_TRUE(renderer.run(doubled.data(), everyOther, 2));
            for (int x = 0; x < width / 2; ++x)
                ASSERT_EQ(all.constScanLine(0)[2 * x], everyOther.constScanLine(0)[x])
                    << "sample " << doubled[size_t(2 * x)] << " shadows " << channel.shadows;

            // Three planes: the row, the row reversed, the row again, with
            // the parameters shifted per channel.
            std::vector<T> planes = doubled;
            planes.insert(planes.end(), doubled.rbegin(), doubled.rend());
            planes.insert(planes.end(), doubled.begin(), doubled.end());
            StretchParams colourParams = params;
            colourParams.channel[1] = cases[(&channel - cases + 1) % 4];
            colourParams.channel[2] = cases[(&channel - cases + 2) % 4];
            StretchRenderer colour(width, 1, 3, sampleType);
            colour.setParams(colourParams);
            QImage rgb = blankPicture(width, 1, 3), rgbEveryOther = blankPicture(width / 2, 1, 3);
            ASSERT_TRUE(colour.run(planes.data(), rgb, 1));
            ASSERT_TRUE(colour.run(planes.data(), rgbEveryOther, 2));
            for (int x = 0; x < width / 2; ++x)
                ASSERT_EQ(rgb.pixel(2 * x, 0), rgbEveryOther.pixel(x, 0)) << "pixel " << x;
        }
    }
}

TEST(StretchRender, VectorLevelsEqualOneSampleLevels)
{
    expectVectorLevelsEqualOneSampleLevels<float>(SampleType::Float);
    expectVectorLevelsEqualOneSampleLevels<double>(SampleType::Double);
}

// 8- and 16-bit planes take their median and deviation from counts of the
// values; the same values as 32-bit samples go through selection. Both give
// the same parameters, for spread, skewed, constant and tiny planes.
TEST(StretchParams, CountedMediansEqualSelectedMedians)
{
    std::mt19937 rng(4);
    const auto check = [](const std::vector<uint32_t> &wide, int width, int height, int64_t range) {
        std::vector<uint16_t> narrow(wide.begin(), wide.end());
        const ChannelStretchParams counted =
            range == 256 ? StretchRenderer::computeChannelParams(std::vector<uint8_t>(wide.begin(), wide.end()).data(),
                                                                 width, height, range)
                         : StretchRenderer::computeChannelParams(narrow.data(), width, height, range);
        const ChannelStretchParams selected = StretchRenderer::computeChannelParams(wide.data(), width, height, range);
        expectSameParams(counted, selected);
    };
    for (const int64_t range : {int64_t(256), int64_t(65536)}) {
        const uint32_t top = uint32_t(range - 1);
        for (const auto &size : {std::pair<int, int>{1, 1}, {2, 1}, {7, 5}, {1000, 1000}, {1001, 1499}}) {
            const size_t n = size_t(size.first) * size_t(size.second);
            std::vector<uint32_t> spread(n), skewed(n), constant(n, top / 3);
            std::normal_distribution<double> noise(double(top) / 20, double(top) / 400);
            for (size_t i = 0; i < n; ++i) {
                spread[i] = uint32_t(rng() % (top + 1));
                skewed[i] = i % 53 == 0 ? top : uint32_t(std::clamp(noise(rng), 0.0, double(top)));
            }
            check(spread, size.first, size.second, range);
            check(skewed, size.first, size.second, range);
            check(constant, size.first, size.second, range);
        }
    }
}

// Float medians are counted, not selected: the same element as sorting
// gives, among negatives, zeros of both signs and repeated values.
TEST(StretchMedian, CountedFloatMedianIsTheSortedMiddle)
{
    std::mt19937 rng(21);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (const size_t n : {size_t(1), size_t(2), size_t(3), size_t(1000), size_t(100001)}) {
        for (int pattern = 0; pattern < 3; ++pattern) {
            std::vector<float> values(n);
            for (size_t i = 0; i < n; ++i)
                values[i] = pattern == 0 ? noise(rng) : pattern == 1 ? (i % 3 ? 0.0f : -0.0f) : float(rng() % 7) - 3.0f;
            std::vector<float> sorted = values;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(StretchRenderer::sampleMedian(values), sorted[n / 2]) << n << " " << pattern;
        }
    }
}

// A mosaic set as the renderer's samples gives the parameters and levels of
// the planes its nearest-neighbour demosaic makes: every pattern, both
// vertical offsets, subsample steps that wrap across rows, and strips too
// small to hold a block.
template <typename T>
void expectMosaicStandsForItsPlanes(SampleType sampleType)
{
    std::mt19937 rng(9);
    for (const auto &[width, height] : {std::pair{1301, 800}, {203, 97}, {7, 5}, {3, 2}, {2, 1}, {1, 1}}) {
        std::vector<T> mosaic(size_t(width) * size_t(height));
        std::normal_distribution<double> noise(sizeof(T) == 1 ? 60 : 3000, sizeof(T) == 1 ? 9 : 400);
        for (size_t i = 0; i < mosaic.size(); ++i)
            mosaic[i] = T(std::clamp(noise(rng) * (1.0 + double(i % 2)), 0.0, double(std::numeric_limits<T>::max())));
        for (const int pattern : {512, 513, 514, 515}) {
            for (const int offsetY : {0, 1}) {
                SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " pattern " +
                             std::to_string(pattern) + " offset " + std::to_string(offsetY));
                const size_t plane = mosaic.size();
                std::vector<T> planes(3 * plane, T(0));
                const int rows = height - offsetY;
                if (rows > 0)
                    demosaicNearestPlanar(mosaic.data() + size_t(offsetY) * size_t(width), planes.data(),
                                          planes.data() + plane, planes.data() + 2 * plane, width, rows, pattern);
                StretchRenderer fromPlanes(width, height, 3, sampleType), fromMosaic(width, height, 3, sampleType);
                ASSERT_TRUE(fromMosaic.setMosaic(pattern, offsetY));
                const StretchParams expected = fromPlanes.computeParams(planes.data());
                const StretchParams actual = fromMosaic.computeParams(mosaic.data());
                ASSERT_EQ(std::memcmp(&expected, &actual, sizeof(expected)), 0);
                fromPlanes.setParams(expected);
                fromMosaic.setParams(actual);
                const auto expectedLevels = fromPlanes.planeLevels(planes.data());
                const auto actualLevels = fromMosaic.planeLevels(mosaic.data());
                ASSERT_TRUE(expectedLevels && actualLevels);
                std::vector<uint8_t> want(static_cast<size_t>(width)), got(static_cast<size_t>(width)), above;
                int repeated = 0;
                for (int c = 0; c < 3; ++c)
                    for (int y = 0; y < height; ++y) {
                        expectedLevels->rows(c, y, 1, want.data());
                        actualLevels->rows(c, y, 1, got.data());
                        ASSERT_EQ(want, got) << "plane " << c << " row " << y;
                        // A row said to repeat the one above it does.
                        if (actualLevels->repeatsRow(c, y)) {
                            ++repeated;
                            ASSERT_EQ(got, above) << "plane " << c << " row " << y;
                        }
                        above = got;
                    }
                // Red and blue rows come in pairs.
                if (height >= 5) {
                    EXPECT_GE(repeated, height - 4);
                }
            }
        }
    }
}

TEST(StretchParams, MosaicStandsForItsPlanes)
{
    expectMosaicStandsForItsPlanes<uint8_t>(SampleType::UInt8);
    expectMosaicStandsForItsPlanes<uint16_t>(SampleType::UInt16);
    StretchRenderer grey(8, 8, 1, SampleType::UInt16), wide(8, 8, 3, SampleType::Float),
        colour(8, 8, 3, SampleType::UInt16);
    EXPECT_FALSE(grey.setMosaic(512, 0));
    EXPECT_FALSE(wide.setMosaic(512, 0));
    EXPECT_FALSE(colour.setMosaic(516, 0));
    EXPECT_FALSE(colour.setMosaic(512, 2));
    // The planes alone are rendered whole.
    ASSERT_TRUE(colour.setMosaic(512, 0));
    std::vector<uint16_t> mosaic(64, 100);
    QImage picture(8, 8, QImage::Format_RGB32);
    EXPECT_FALSE(colour.run(mosaic.data(), picture));
}
