#include "debayer/demosaic.h"
#include "image/fits_data.h"
#include "tests/fixtures.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using Rgb = std::array<int, 3>;

const int kPatterns[] = {512, 513, 514, 515};
const char *const kPatternNames[] = {"RGGB", "GBRG", "GRBG", "BGGR"};

template <typename T>
constexpr int kLargest = sizeof(T) == 1 ? 255 : 65535;

template <typename T>
std::vector<T> randomSamples(int width, int height, int largest, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(0, largest);
    std::vector<T> samples(size_t(width) * size_t(height));
    for (T &s : samples)
        s = T(value(random));
    return samples;
}

// A mosaic whose red, green and blue sites each hold one constant.
template <typename T>
std::vector<T> constantColours(int width, int height, int pattern, Rgb colour)
{
    std::vector<T> samples(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            samples[size_t(y) * width + x] = T(colour[colourAt(patternWord(pattern), x, y)]);
    return samples;
}

template <typename T>
void loadMosaic(FITSData &data, const std::vector<T> &samples, int width, int height)
{
    data.stats.width = uint16_t(width);
    data.stats.height = uint16_t(height);
    data.stats.channels = 1;
    data.stats.samplesPerChannel = uint32_t(width * height);
    data.stats.bytesPerSample = int(sizeof(T));
    data.stats.sampleType = sizeof(T) == 1 ? SampleType::UInt8 : SampleType::UInt16;
    data.pixelBytes = uint32_t(samples.size() * sizeof(T));
    data.pixels.reset(new uint8_t[data.pixelBytes]);
    if (!samples.empty())
        std::memcpy(data.pixels.get(), samples.data(), data.pixelBytes);
}

template <typename T>
bool debayer(FITSData &data)
{
    return sizeof(T) == 1 ? data.debayer8() : data.debayer16();
}

template <typename T>
Rgb pixelAt(const FITSData &data, int x, int y)
{
    const T *planes = reinterpret_cast<const T *>(data.pixels.get());
    const size_t i = size_t(y) * data.stats.width + x, n = data.stats.samplesPerChannel;
    return {planes[i], planes[n + i], planes[2 * n + i]};
}

// Demosaics through the image object and returns its planes as triples.
template <typename T>
std::vector<Rgb> demosaicOf(const std::vector<T> &samples, int width, int height, int method,
                            int pattern, int offsetY = 0)
{
    FITSData data;
    loadMosaic(data, samples, width, height);
    data.bayer.method = method;
    data.bayer.pattern = pattern;
    data.bayer.offsetY = offsetY;
    std::vector<Rgb> result;
    if (!debayer<T>(data))
        return result;
    for (int y = 0; y < data.stats.height; ++y)
        for (int x = 0; x < data.stats.width; ++x)
            result.push_back(pixelAt<T>(data, x, y));
    return result;
}

// Straightforward per-pixel versions of four methods, written from their
// definitions with the pattern given as text.
struct Reference {
    int width, height, largest;
    std::vector<int> s;
    std::string pattern;

    int colour(int x, int y) const
    {
        const char c = pattern[size_t((y % 2) * 2 + x % 2)];
        return c == 'R' ? 0 : c == 'G' ? 1 : 2;
    }
    int at(int x, int y) const { return s[size_t(y * width + x)]; }
    int clamp(int v) const { return std::min(std::max(v, 0), largest); }
    static int floorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

    Rgb nearest(int x, int y) const
    {
        if (x == width - 1 || y == height - 1)
            return {0, 0, 0};
        Rgb out{};
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) {
                const int c = colour(x + dx, y + dy);
                if (c != 1 || dx == 1)
                    out[size_t(c)] = at(x + dx, y + dy);
            }
        return out;
    }

    Rgb downsample(int i, int j) const
    {
        Rgb sum{};
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx)
                sum[size_t(colour(2 * i + dx, 2 * j + dy))] += at(2 * i + dx, 2 * j + dy);
        return {sum[0], sum[1] / 2, sum[2]};
    }

    // Nearest samples of each missing colour, rounded mean: the orthogonal
    // neighbours when they carry it, else the diagonal ones.
    Rgb bilinear(int x, int y) const
    {
        if (x < 1 || y < 1 || x >= width - 1 || y >= height - 1)
            return {0, 0, 0};
        Rgb out{};
        out[size_t(colour(x, y))] = at(x, y);
        for (int k = 0; k < 3; ++k) {
            if (k == colour(x, y))
                continue;
            int sum = 0, n = 0;
            for (auto [dx, dy] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}})
                if (colour(x + dx, y + dy) == k)
                    sum += at(x + dx, y + dy), ++n;
            if (n == 0)
                for (auto [dx, dy] : {std::pair{-1, -1}, {1, -1}, {-1, 1}, {1, 1}})
                    sum += at(x + dx, y + dy), ++n;
            out[size_t(k)] = (sum + n / 2) / n;
        }
        return out;
    }

    // Before clamping, to see overshoot.
    Rgb highQualityRaw(int x, int y) const
    {
        if (x < 2 || y < 2 || x >= width - 2 || y >= height - 2)
            return {0, 0, 0};
        const auto S = [&](int dx, int dy) { return at(x + dx, y + dy); };
        const int c = S(0, 0);
        const int diag = S(-1, -1) + S(1, -1) + S(-1, 1) + S(1, 1);
        Rgb out{};
        const int site = colour(x, y);
        out[size_t(site)] = c;
        if (site == 1) {
            const int h = 5 * c + 4 * (S(-1, 0) + S(1, 0)) - S(-2, 0) - S(2, 0) - diag +
                          (S(0, -2) + S(0, 2) + 1) / 2;
            const int v = 5 * c + 4 * (S(0, -1) + S(0, 1)) - S(0, -2) - S(0, 2) - diag +
                          (S(-2, 0) + S(2, 0) + 1) / 2;
            out[size_t(colour(x + 1, y))] = floorDiv(h + 4, 8);
            out[size_t(colour(x, y + 1))] = floorDiv(v + 4, 8);
        } else {
            const int far = S(0, -2) + S(0, 2) + S(-2, 0) + S(2, 0);
            const int cross = S(0, -1) + S(0, 1) + S(-1, 0) + S(1, 0);
            out[1] = floorDiv(4 * c + 2 * cross - far + 4, 8);
            out[size_t(2 - site)] = floorDiv(6 * c + 2 * diag - (3 * far + 1) / 2 + 4, 8);
        }
        return out;
    }

    Rgb highQuality(int x, int y) const
    {
        const Rgb raw = highQualityRaw(x, y);
        return {clamp(raw[0]), clamp(raw[1]), clamp(raw[2])};
    }

    std::vector<Rgb> edgeSense() const
    {
        std::vector<int> g(s.size(), 0);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                if (colour(x, y) == 1) {
                    g[size_t(y * width + x)] = at(x, y);
                } else if (x >= 2 && y >= 2 && x < width - 2 && y < height - 2) {
                    const int dh = std::abs((at(x - 2, y) + at(x + 2, y)) / 2 - at(x, y));
                    const int dv = std::abs((at(x, y - 2) + at(x, y + 2)) / 2 - at(x, y));
                    g[size_t(y * width + x)] = dh <= dv ? (at(x - 1, y) + at(x + 1, y)) / 2
                                                        : (at(x, y - 1) + at(x, y + 1)) / 2;
                }
            }
        const auto diff = [&](int x, int y) { return at(x, y) - g[size_t(y * width + x)]; };
        std::vector<Rgb> out(s.size(), Rgb{0, 0, 0});
        for (int y = 3; y < height - 3; ++y)
            for (int x = 3; x < width - 3; ++x) {
                Rgb &o = out[size_t(y * width + x)];
                const int site = colour(x, y), green = g[size_t(y * width + x)];
                o[size_t(site)] = at(x, y);
                o[1] = green;
                if (site == 1) {
                    o[size_t(colour(x + 1, y))] = clamp(green + floorDiv(diff(x - 1, y) + diff(x + 1, y), 2));
                    o[size_t(colour(x, y + 1))] = clamp(green + floorDiv(diff(x, y - 1) + diff(x, y + 1), 2));
                } else {
                    const int sum = diff(x - 1, y - 1) + diff(x + 1, y - 1) + diff(x - 1, y + 1) +
                                    diff(x + 1, y + 1);
                    o[size_t(2 - site)] = clamp(green + floorDiv(sum, 4));
                }
            }
        return out;
    }
};

// Border each method leaves black, by distance from the edges.
bool inBlackBorder(int method, int x, int y, int width, int height)
{
    const int nearest = std::min(std::min(x, y), std::min(width - 1 - x, height - 1 - y));
    switch (method) {
    case kDemosaicNearest:
    case kDemosaicSimple:
        return x == width - 1 || y == height - 1;
    case kDemosaicBilinear:
    case kDemosaicGradients:
        return nearest < 1;
    case kDemosaicHighQuality:
        return nearest < 2;
    case kDemosaicEdgeSense:
        return nearest < 3;
    default:
        return false;
    }
}

template <typename T>
void checkReferenceMethods(int width, int height)
{
    for (int p = 0; p < 4; ++p) {
        const auto samples = randomSamples<T>(width, height, kLargest<T>, unsigned(width * 31 + p));
        Reference ref{width, height, kLargest<T>, {samples.begin(), samples.end()}, kPatternNames[p]};
        SCOPED_TRACE(std::string(kPatternNames[p]) + " " + std::to_string(width) + "x" +
                     std::to_string(height) + " depth " + std::to_string(8 * sizeof(T)));
        const auto nearest = demosaicOf(samples, width, height, kDemosaicNearest, kPatterns[p]);
        const auto bilinear = demosaicOf(samples, width, height, kDemosaicBilinear, kPatterns[p]);
        const auto high = demosaicOf(samples, width, height, kDemosaicHighQuality, kPatterns[p]);
        const auto edge = demosaicOf(samples, width, height, kDemosaicEdgeSense, kPatterns[p]);
        const auto half = demosaicOf(samples, width, height, kDemosaicDownsample, kPatterns[p]);
        const auto edgeRef = ref.edgeSense();
        // The frame writes method 0 straight into planes; the interleaved
        // kernel must agree with it.
        std::vector<T> interleaved(samples.size() * 3);
        ASSERT_EQ(demosaicNearest(samples.data(), interleaved.data(), width, height, kPatterns[p]), 0);
        ASSERT_EQ(nearest.size(), samples.size());
        ASSERT_EQ(half.size(), size_t(width / 2) * size_t(height / 2));
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const size_t i = size_t(y * width + x);
                ASSERT_EQ(nearest[i], ref.nearest(x, y)) << x << "," << y;
                ASSERT_EQ(nearest[i], (Rgb{interleaved[3 * i], interleaved[3 * i + 1],
                                           interleaved[3 * i + 2]}));
                // The re-indexing that previews read the mosaic by.
                for (int c = 0; c < 3 && x + 1 < width && y + 1 < height; ++c)
                    ASSERT_EQ(nearest[i][size_t(c)],
                              samples[size_t(ptrdiff_t(i) + nearestSite(kPatterns[p], c, x, y, width))]);
                ASSERT_EQ(bilinear[i], ref.bilinear(x, y)) << x << "," << y;
                ASSERT_EQ(high[i], ref.highQuality(x, y)) << x << "," << y;
                ASSERT_EQ(edge[i], edgeRef[i]) << x << "," << y;
            }
        for (int j = 0; j < height / 2; ++j)
            for (int i = 0; i < width / 2; ++i)
                ASSERT_EQ(half[size_t(j * (width / 2) + i)], ref.downsample(i, j));
    }
}

} // namespace

TEST(Debayer, TwoByTwoExamples)
{
    const std::vector<uint16_t> samples = {10, 20, 30, 40};
    const Rgb black{0, 0, 0};
    const std::vector<Rgb> nearest = {{10, 20, 40}, black, black, black};
    const std::vector<Rgb> simple = {{10, 25, 40}, black, black, black};
    EXPECT_EQ(demosaicOf(samples, 2, 2, kDemosaicNearest, 512), nearest);
    EXPECT_EQ(demosaicOf(samples, 2, 2, kDemosaicSimple, 512), simple);
    const std::vector<uint8_t> bytes(samples.begin(), samples.end());
    EXPECT_EQ(demosaicOf(bytes, 2, 2, kDemosaicNearest, 512), nearest);
    EXPECT_EQ(demosaicOf(bytes, 2, 2, kDemosaicSimple, 512), simple);
}

TEST(Debayer, NearestTakesGreenFromTheRightColumn)
{
    // RGGB: (1, 0) is green itself but takes the green at (2, 1).
    const std::vector<uint16_t> samples = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const auto rgb = demosaicOf(samples, 4, 3, kDemosaicNearest, 512);
    ASSERT_EQ(rgb.size(), 12u);
    EXPECT_EQ(rgb[1], (Rgb{3, 7, 6}));
    EXPECT_EQ(rgb[0], (Rgb{1, 2, 6}));
    EXPECT_EQ(rgb[5], (Rgb{11, 7, 6}));
}

TEST(Debayer, ModeDecidesChannelsAndDepthTheSampleType)
{
    const struct {
        FITSMode mode;
        bool wide;
        int channels;
    } cases[] = {{Normal, false, 3}, {Calibrate, true, 3}, {Guide, true, 1}, {Focus, false, 1},
                 {Align, true, 1}};
    for (const auto &c : cases) {
        FITSData data;
        data.mode = c.mode;
        if (c.wide) {
            loadMosaic(data, randomSamples<uint16_t>(6, 4, 65535, 1), 6, 4);
            ASSERT_TRUE(data.debayer16());
        } else {
            loadMosaic(data, randomSamples<uint8_t>(6, 4, 255, 1), 6, 4);
            ASSERT_TRUE(data.debayer8());
        }
        EXPECT_EQ(data.stats.channels, c.channels);
        EXPECT_EQ(data.stats.sampleType, c.wide ? SampleType::UInt16 : SampleType::UInt8);
        EXPECT_EQ(data.pixelBytes, 3u * 24 * (c.wide ? 2 : 1));
        EXPECT_EQ(data.stats.samplesPerChannel, 24u);

        // A preview keeps the mosaic only where the planes show colour, and
        // makes the same planes from it on request.
        for (const int offsetY : {0, 1}) {
            FITSData kept;
            kept.mode = c.mode;
            kept.bayer.offsetY = offsetY;
            if (c.wide)
                loadMosaic(kept, randomSamples<uint16_t>(6, 4, 65535, 1), 6, 4);
            else
                loadMosaic(kept, randomSamples<uint8_t>(6, 4, 255, 1), 6, 4);
            const uint32_t mosaicBytes = kept.pixelBytes;
            ASSERT_EQ(kept.keepMosaic(), c.channels == 3);
            if (c.channels != 3)
                continue;
            EXPECT_TRUE(kept.holdsMosaic);
            EXPECT_EQ(kept.stats.channels, 3);
            EXPECT_EQ(kept.pixelBytes, mosaicBytes);
            FITSData planes;
            planes.mode = c.mode;
            planes.bayer.offsetY = offsetY;
            if (c.wide)
                loadMosaic(planes, randomSamples<uint16_t>(6, 4, 65535, 1), 6, 4);
            else
                loadMosaic(planes, randomSamples<uint8_t>(6, 4, 255, 1), 6, 4);
            ASSERT_TRUE(c.wide ? planes.debayer16() : planes.debayer8());
            ASSERT_TRUE(kept.expandMosaic());
            EXPECT_FALSE(kept.holdsMosaic);
            ASSERT_EQ(kept.pixelBytes, planes.pixelBytes);
            EXPECT_EQ(std::memcmp(kept.pixels.get(), planes.pixels.get(), planes.pixelBytes), 0);
        }
    }
    FITSData other;
    other.bayer.method = kDemosaicSimple;
    loadMosaic(other, randomSamples<uint16_t>(6, 4, 65535, 1), 6, 4);
    EXPECT_FALSE(other.keepMosaic());
}

TEST(Debayer, EveryMethodKeepsConstantColoursInsideItsBorder)
{
    const int sizes[][2] = {{1, 1}, {2, 3}, {4, 5}, {5, 4}, {7, 9}, {12, 10}, {13, 11}};
    for (int method = 0; method < 8; ++method)
        for (int p = 0; p < 4; ++p)
            for (const auto &size : sizes)
                for (int wide = 0; wide < 2; ++wide) {
                    const int w = size[0], h = size[1];
                    const Rgb colour = wide ? Rgb{65535, 30000, 7} : Rgb{255, 100, 3};
                    SCOPED_TRACE("method " + std::to_string(method) + " " + kPatternNames[p] + " " +
                                 std::to_string(w) + "x" + std::to_string(h) + " wide " +
                                 std::to_string(wide));
                    const auto rgb =
                        wide ? demosaicOf(constantColours<uint16_t>(w, h, kPatterns[p], colour), w,
                                          h, method, kPatterns[p])
                             : demosaicOf(constantColours<uint8_t>(w, h, kPatterns[p], colour), w,
                                          h, method, kPatterns[p]);
                    if (method == kDemosaicDownsample) {
                        ASSERT_EQ(rgb.size(), size_t(w / 2) * size_t(h / 2));
                        for (const Rgb &v : rgb)
                            ASSERT_EQ(v, colour);
                        continue;
                    }
                    ASSERT_EQ(rgb.size(), size_t(w * h));
                    for (int y = 0; y < h; ++y)
                        for (int x = 0; x < w; ++x) {
                            const Rgb expected =
                                inBlackBorder(method, x, y, w, h) ? Rgb{0, 0, 0} : colour;
                            // A strip one sample wide never sees one colour;
                            // gradients two from the edge reach the black ring.
                            if (method == kDemosaicHomogeneity && (w == 1 || h == 1))
                                continue;
                            if (method == kDemosaicGradients &&
                                std::min(std::min(x, y), std::min(w - 1 - x, h - 1 - y)) == 2)
                                continue;
                            ASSERT_EQ(rgb[size_t(y * w + x)], expected) << x << "," << y;
                        }
                }
}

TEST(Debayer, MethodsMatchPerPixelReferences)
{
    checkReferenceMethods<uint16_t>(13, 11);
    checkReferenceMethods<uint16_t>(16, 9);
    checkReferenceMethods<uint8_t>(13, 11);
    checkReferenceMethods<uint8_t>(10, 12);
    // Wide enough for whole vectors of 8 and 16 samples and a tail.
    checkReferenceMethods<uint16_t>(37, 6);
    checkReferenceMethods<uint8_t>(50, 5);
}

TEST(Debayer, HighQualityClampsOvershootOnAnEightBitStep)
{
    // A hard vertical edge from 0 to 255 overshoots on both sides.
    const int w = 12, h = 8;
    std::vector<uint8_t> samples(size_t(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            samples[size_t(y * w + x)] = x < 6 ? 0 : 255;
    Reference ref{w, h, 255, {samples.begin(), samples.end()}, "RGGB"};
    const auto rgb = demosaicOf(samples, w, h, kDemosaicHighQuality, 512);
    int over = 0, under = 0;
    for (int y = 2; y < h - 2; ++y)
        for (int x = 2; x < w - 2; ++x)
            for (int c = 0; c < 3; ++c) {
                const int unclamped = ref.highQualityRaw(x, y)[size_t(c)];
                const int got = rgb[size_t(y * w + x)][size_t(c)];
                if (unclamped > 255) {
                    ++over;
                    EXPECT_EQ(got, 255);
                } else if (unclamped < 0) {
                    ++under;
                    EXPECT_EQ(got, 0);
                }
            }
    EXPECT_GT(over, 0);
    EXPECT_GT(under, 0);
}

TEST(Debayer, EdgeSensingPrefersTheSmootherAxisAndTiesGoHorizontal)
{
    // RGGB 7x7: (3, 3) is blue with green 100 left/right and 200 above/below.
    const struct {
        int leftBlue;
        int green;
    } cases[] = {{50, 100}, {0, 200}};
    for (const auto &c : cases) {
        std::vector<uint16_t> samples = constantColours<uint16_t>(7, 7, 512, {50, 100, 50});
        samples[3 * 7 + 2] = samples[3 * 7 + 4] = 100;
        samples[2 * 7 + 3] = samples[4 * 7 + 3] = 200;
        samples[3 * 7 + 1] = uint16_t(c.leftBlue);
        const auto rgb = demosaicOf(samples, 7, 7, kDemosaicEdgeSense, 512);
        EXPECT_EQ(rgb[3 * 7 + 3][1], c.green);
    }
}

TEST(Debayer, GradientsKeepTheirBilinearRing)
{
    for (int p = 0; p < 4; ++p) {
        const auto samples = randomSamples<uint16_t>(9, 8, 65535, unsigned(p));
        const auto vng = demosaicOf(samples, 9, 8, kDemosaicGradients, kPatterns[p]);
        const auto linear = demosaicOf(samples, 9, 8, kDemosaicBilinear, kPatterns[p]);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 9; ++x) {
                if (x < 2 || y < 2 || x > 6 || y > 5) {
                    ASSERT_EQ(vng[size_t(y * 9 + x)], linear[size_t(y * 9 + x)]) << x << "," << y;
                }
            }
    }
}

TEST(Debayer, HomogeneityBorderIsTheNeighbourhoodMean)
{
    const int w = 11, h = 9;
    for (int p = 0; p < 4; ++p) {
        const auto samples = randomSamples<uint8_t>(w, h, 255, unsigned(p + 7));
        Reference ref{w, h, 255, {samples.begin(), samples.end()}, kPatternNames[p]};
        const auto rgb = demosaicOf(samples, w, h, kDemosaicHomogeneity, kPatterns[p]);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (x >= 3 && y >= 3 && x < w - 3 && y < h - 3)
                    continue;
                Rgb sum{}, count{};
                for (int ny = std::max(0, y - 1); ny <= std::min(h - 1, y + 1); ++ny)
                    for (int nx = std::max(0, x - 1); nx <= std::min(w - 1, x + 1); ++nx) {
                        sum[size_t(ref.colour(nx, ny))] += ref.at(nx, ny);
                        ++count[size_t(ref.colour(nx, ny))];
                    }
                Rgb expected;
                for (size_t c = 0; c < 3; ++c)
                    expected[c] = sum[c] / count[c];
                expected[size_t(ref.colour(x, y))] = ref.at(x, y);
                ASSERT_EQ(rgb[size_t(y * w + x)], expected) << x << "," << y;
            }
    }
}

TEST(Debayer, HomogeneityTreatsRowsAndColumnsAlike)
{
    // RGGB and BGGR look the same transposed, so a symmetric mosaic must give
    // a symmetric result, across tile seams too.
    const int n = 300;
    auto samples = randomSamples<uint16_t>(n, n, 65535, 3);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < y; ++x)
            samples[size_t(x * n + y)] = samples[size_t(y * n + x)];
    for (int pattern : {512, 515}) {
        const auto rgb = demosaicOf(samples, n, n, kDemosaicHomogeneity, pattern);
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < y; ++x)
                ASSERT_EQ(rgb[size_t(y * n + x)], rgb[size_t(x * n + y)]) << x << "," << y;
    }
}

TEST(Debayer, ResultsDoNotDependOnWhereTilesAndRowBuffersFall)
{
    // Cropping two rows and columns keeps the pattern phase; away from the
    // edges every method must give the same pixels.
    const int w = 270, h = 264, crop = 2, margin = 8;
    const auto full = randomSamples<uint16_t>(w, h, 65535, 11);
    std::vector<uint16_t> cropped;
    for (int y = crop; y < h; ++y)
        cropped.insert(cropped.end(), full.begin() + y * w + crop, full.begin() + (y + 1) * w);
    for (int method : {0, 1, 2, 3, 5, 6, 7}) {
        const auto a = demosaicOf(full, w, h, method, 513);
        const auto b = demosaicOf(cropped, w - crop, h - crop, method, 513);
        for (int y = margin; y < h - crop - margin; ++y)
            for (int x = margin; x < w - crop - margin; ++x)
                ASSERT_EQ(b[size_t(y * (w - crop) + x)], a[size_t((y + crop) * w + x + crop)])
                    << "method " << method << " at " << x << "," << y;
    }
}

TEST(Debayer, VerticalOffsetDemosaicsFromTheSecondRow)
{
    for (int method = 0; method < 8; ++method)
        for (auto [w, h] : {std::pair{9, 8}, {6, 7}, {1, 1}, {4, 2}}) {
            SCOPED_TRACE("method " + std::to_string(method) + " " + std::to_string(w) + "x" +
                         std::to_string(h));
            const auto samples = randomSamples<uint16_t>(w, h, 65535, unsigned(method));
            const std::vector<uint16_t> lower(samples.begin() + w, samples.end());
            const auto shifted = demosaicOf(samples, w, h, method, 514, 1);
            const auto direct = demosaicOf(lower, w, h - 1, method, 514);
            if (method == kDemosaicDownsample) {
                EXPECT_EQ(shifted, direct);
                continue;
            }
            ASSERT_EQ(shifted.size(), size_t(w * h));
            for (int i = 0; i < w * (h - 1); ++i)
                ASSERT_EQ(shifted[size_t(i)], direct[size_t(i)]);
            for (int i = w * (h - 1); i < w * h; ++i)
                ASSERT_EQ(shifted[size_t(i)], (Rgb{0, 0, 0}));
        }
}

TEST(Debayer, DownsampleTakesTheHalfSizeShape)
{
    FITSData data;
    loadMosaic(data, randomSamples<uint16_t>(5, 7, 65535, 5), 5, 7);
    data.bayer.method = kDemosaicDownsample;
    ASSERT_TRUE(data.debayer16());
    EXPECT_EQ(data.stats.width, 2);
    EXPECT_EQ(data.stats.height, 3);
    EXPECT_EQ(data.stats.samplesPerChannel, 6u);
    EXPECT_EQ(data.pixelBytes, 36u);
}

TEST(Debayer, FailuresKeepTheRawSamples)
{
    const struct {
        const char *what;
        int method, pattern, width, height;
        int channelsAfter;
    } cases[] = {
        {"pattern 516", 0, 516, 4, 4, 1},   {"pattern 511", 7, 511, 8, 8, 1},
        {"gradients 516", 6, 516, 8, 8, 1}, {"method 8", 8, 512, 4, 4, 1},
        {"method -1", -1, 512, 4, 4, 1},    {"downsample 1 wide", 4, 512, 1, 6, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto samples = randomSamples<uint16_t>(c.width, c.height, 65535, 9);
        FITSData data;
        loadMosaic(data, samples, c.width, c.height);
        data.bayer.method = c.method;
        data.bayer.pattern = c.pattern;
        data.stats.channels = 2;
        EXPECT_FALSE(data.debayer16());
        EXPECT_EQ(data.stats.channels, c.channelsAfter);
        EXPECT_EQ(data.stats.sampleType, SampleType::UInt16);
        ASSERT_EQ(data.pixelBytes, samples.size() * 2);
        EXPECT_EQ(std::memcmp(data.pixels.get(), samples.data(), data.pixelBytes), 0);
    }
}

TEST(Debayer, RejectsPlanesThatDoNotMatchTheirShape)
{
    const struct {
        const char *what;
        int width, height, bytesPerSample;
        uint32_t samplesPerChannel, pixelBytes;
        bool eightBit;
    } cases[] = {
        {"plane count", 4, 4, 2, 15, 32, false},
        {"short buffer", 4, 4, 2, 16, 31, false},
        {"16-bit data to debayer8", 4, 4, 2, 16, 32, true},
        {"8-bit data to debayer16", 4, 4, 1, 16, 16, false},
        {"planes beyond 4 GiB", 65535, 65535, 2, 65535u * 65535u, 32, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FITSData data;
        loadMosaic(data, std::vector<uint8_t>(32, 7), 4, 8);
        data.stats.width = uint16_t(c.width);
        data.stats.height = uint16_t(c.height);
        data.stats.bytesPerSample = c.bytesPerSample;
        data.stats.samplesPerChannel = c.samplesPerChannel;
        data.pixelBytes = c.pixelBytes;
        const uint8_t *before = data.pixels.get();
        EXPECT_FALSE(c.eightBit ? data.debayer8() : data.debayer16());
        EXPECT_EQ(data.pixels.get(), before);
        EXPECT_EQ(data.pixelBytes, c.pixelBytes);
        EXPECT_EQ(data.stats.channels, 1);
    }
}

// Every value of the result is written (or, downsampling, every value of
// the packed half-size image), whatever the size: a value the inputs cannot
// produce marks what was left alone.
template <typename T>
void checkEverythingWritten(int width, int height)
{
    constexpr T sentinel = std::numeric_limits<T>::max();
    const int largest = sizeof(T) == 1 ? 99 : 999;
    for (int method = 0; method < 8; ++method)
        for (int pattern : kPatterns) {
            const auto samples = randomSamples<T>(width, height, largest, unsigned(method + pattern));
            std::vector<T> buffer(samples.size() * 3, sentinel);
            ASSERT_EQ(demosaic(method, samples.data(), buffer.data(), width, height, pattern), 0);
            const size_t written = method == kDemosaicDownsample
                                       ? size_t(width / 2) * size_t(height / 2) * 3
                                       : buffer.size();
            for (size_t i = 0; i < written; ++i)
                ASSERT_NE(buffer[i], sentinel) << "method " << method << " pattern " << pattern
                                               << " size " << width << "x" << height << " at " << i;
        }
}

TEST(Debayer, TinyAndOddImagesAreFullyDefined)
{
    const int sizes[][2] = {{1, 1}, {2, 1}, {1, 2}, {2, 2}, {3, 3}, {4, 5}, {5, 4},
                            {6, 6}, {7, 7}, {7, 9}, {9, 7}, {8, 3}, {3, 8}, {1, 9}};
    for (const auto &s : sizes) {
        checkEverythingWritten<uint8_t>(s[0], s[1]);
        checkEverythingWritten<uint16_t>(s[0], s[1]);
    }
}

TEST(Debayer, LabOfBlackAndWhite)
{
    const LabColour black = toLab(0, 0, 0);
    EXPECT_NEAR(black.l, 0, 1e-4);
    EXPECT_NEAR(black.a, 0, 1e-4);
    EXPECT_NEAR(black.b, 0, 1e-4);
    const LabColour white = toLab(65535, 65535, 65535);
    EXPECT_NEAR(white.l, 100, 0.01);
    EXPECT_NEAR(white.a, 0, 0.05);
    EXPECT_NEAR(white.b, 0, 0.05);
    EXPECT_EQ(cubeRootTable()[65535], 1.0f);
}
