// Method 7: adaptive homogeneity-directed interpolation. Every pixel is
// interpolated once along rows and once along columns; per pixel the
// direction whose neighbourhood is more uniform in CIELab wins.

#include "debayer/demosaic.h"

#include "debayer/demosaic_rows.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace {

// Tiles keep both directions of a region in one fixed work area. Origins
// advance by 250 so that neighbouring tiles overlap by the 6 pixels that a
// finished pixel's neighbourhood reaches beyond it.
constexpr int kTile = 256;
constexpr int kTileStep = kTile - 6;
// Pixels closer than this to an edge are border: they get 3x3 means.
constexpr int kBorder = 3;

// Camera RGB to CIE XYZ relative to the D65 white point.
const float kRgbToXyz[3][3] = {{0.4339527f, 0.3762194f, 0.1898278f},
                               {0.212671f, 0.71516f, 0.072169f},
                               {0.0177579f, 0.1094765f, 0.8727655f}};

template <typename T>
struct WorkArea {
    T rgb[2][kTile][kTile][3];      // per direction: 0 horizontal, 1 vertical
    int16_t lab[2][kTile][kTile][3];  // CIELab x 64
    uint8_t homogeneity[2][kTile][kTile];
};

// The colours other than its own of every pixel less than kBorder from an
// edge: the mean of that colour's samples in the pixel's 3x3 neighbourhood
// inside the image. A colour without such a sample keeps its value.
template <typename T>
void borderMeans(const T *source, T *buffer, int width, int height, uint32_t word)
{
    const size_t w = size_t(width);
    for (int y = 0; y < height; ++y) {
        const bool edgeRow = y < kBorder || y >= height - kBorder;
        for (int x = 0; x < width; ++x) {
            if (!edgeRow && x == kBorder && width - kBorder > x)
                x = width - kBorder;
            int sum[3] = {0, 0, 0};
            int count[3] = {0, 0, 0};
            for (int ny = std::max(y - 1, 0); ny <= std::min(y + 1, height - 1); ++ny)
                for (int nx = std::max(x - 1, 0); nx <= std::min(x + 1, width - 1); ++nx) {
                    const int c = colourAt(word, nx, ny);
                    sum[c] += source[size_t(ny) * w + size_t(nx)];
                    ++count[c];
                }
            const int site = colourAt(word, x, y);
            T *o = buffer + (size_t(y) * w + size_t(x)) * 3;
            for (int c = 0; c < 3; ++c)
                if (c != site && count[c])
                    o[c] = T(sum[c] / count[c]);
        }
    }
}

template <typename T>
void storeLab(const T *rgb, int16_t *lab)
{
    const LabColour colour = toLab(rgb[0], rgb[1], rgb[2]);
    lab[0] = int16_t(64 * colour.l);
    lab[1] = int16_t(64 * colour.a);
    lab[2] = int16_t(64 * colour.b);
}

// One tile. The window of the work area starts at (top, left); pixels in it
// are interpolated from window row/column 1, homogeneity is measured from 2
// and results are final from 3, so that a finished pixel's 3x3 homogeneity
// sum rests on data of the same tile. Window and image bounds both apply.
template <typename T>
void homogeneityTile(const T *source, T *buffer, int width, int height, uint32_t word, int top,
                     int left, WorkArea<T> &work)
{
    constexpr int largest = std::numeric_limits<T>::max();
    const ptrdiff_t w = width;
    const int rows = std::min(kTile, height - top);
    const int cols = std::min(kTile, width - left);
    const auto sample = [&](int y, int x) -> int { return source[size_t(y) * size_t(w) + size_t(x)]; };

    // Green both ways at red and blue sites. Near an edge, where the
    // five-sample formula has no room, the border mean stands in: those
    // pixels are all border and already hold it.
    for (int ty = 0; ty < rows; ++ty) {
        const int y = top + ty;
        const T *s = source + size_t(y) * size_t(w);
        const T *mean = buffer + size_t(y) * size_t(w) * 3;
        for (int tx = 0; tx < cols; ++tx) {
            const int x = left + tx;
            const int c = s[x];
            if (colourAt(word, x, y) == 1) {
                work.rgb[0][ty][tx][1] = work.rgb[1][ty][tx][1] = T(c);
                continue;
            }
            if (x >= 2 && x + 2 < width) {
                const int g1 = s[x - 1], g2 = s[x + 1];
                const int g = ((g1 + c + g2) * 2 - s[x - 2] - s[x + 2]) >> 2;
                work.rgb[0][ty][tx][1] = T(std::clamp(g, std::min(g1, g2), std::max(g1, g2)));
            } else {
                work.rgb[0][ty][tx][1] = mean[3 * x + 1];
            }
            if (y >= 2 && y + 2 < height) {
                const int g1 = s[x - w], g2 = s[x + w];
                const int g = ((g1 + c + g2) * 2 - s[x - 2 * w] - s[x + 2 * w]) >> 2;
                work.rgb[1][ty][tx][1] = T(std::clamp(g, std::min(g1, g2), std::max(g1, g2)));
            } else {
                work.rgb[1][ty][tx][1] = mean[3 * x + 1];
            }
        }
    }

    // Red and blue from colour differences to this direction's green, then
    // CIELab. Only pixels with all eight neighbours inside the image.
    const int yEnd = std::min(kTile - 1, height - 1 - top);
    const int xEnd = std::min(kTile - 1, width - 1 - left);
    for (int d = 0; d < 2; ++d) {
        auto &rgb = work.rgb[d];
        for (int ty = std::max(1, 1 - top); ty < yEnd; ++ty) {
            const int y = top + ty;
            for (int tx = std::max(1, 1 - left); tx < xEnd; ++tx) {
                const int x = left + tx;
                const Site site = siteAt(word, x, y);
                T *p = rgb[ty][tx];
                const int own = sample(y, x);
                if (site.colour == 1) {
                    const int across = own + ((sample(y, x - 1) - rgb[ty][tx - 1][1] +
                                               sample(y, x + 1) - rgb[ty][tx + 1][1]) >> 1);
                    const int along = own + ((sample(y - 1, x) - rgb[ty - 1][tx][1] +
                                              sample(y + 1, x) - rgb[ty + 1][tx][1]) >> 1);
                    p[site.across] = T(clampTo(across, largest));
                    p[site.along] = T(clampTo(along, largest));
                } else {
                    const int sum = sample(y - 1, x - 1) - rgb[ty - 1][tx - 1][1] +
                                    sample(y - 1, x + 1) - rgb[ty - 1][tx + 1][1] +
                                    sample(y + 1, x - 1) - rgb[ty + 1][tx - 1][1] +
                                    sample(y + 1, x + 1) - rgb[ty + 1][tx + 1][1];
                    p[site.across] = T(clampTo(p[1] + ((sum + 1) >> 2), largest));
                    p[site.colour] = T(own);
                }
                storeLab(p, work.lab[d][ty][tx]);
            }
        }
    }

    // Homogeneity: how many of the four neighbours lie within the tolerances
    // that the flatter direction of each axis sets.
    static const int kStep[4][2] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};  // left, right, up, down
    for (int ty = std::max(2, 2 - top); ty < std::min(kTile - 2, height - 2 - top); ++ty) {
        for (int tx = std::max(2, 2 - left); tx < std::min(kTile - 2, width - 2 - left); ++tx) {
            int lDiff[2][4];
            long long abDiff[2][4];
            for (int d = 0; d < 2; ++d) {
                const int16_t *p = work.lab[d][ty][tx];
                for (int i = 0; i < 4; ++i) {
                    const int16_t *n = work.lab[d][ty + kStep[i][0]][tx + kStep[i][1]];
                    const long long da = p[1] - n[1], db = p[2] - n[2];
                    lDiff[d][i] = std::abs(p[0] - n[0]);
                    abDiff[d][i] = da * da + db * db;
                }
            }
            const int lTolerance = std::min(std::max(lDiff[0][0], lDiff[0][1]),
                                            std::max(lDiff[1][2], lDiff[1][3]));
            const long long abTolerance = std::min(std::max(abDiff[0][0], abDiff[0][1]),
                                                   std::max(abDiff[1][2], abDiff[1][3]));
            for (int d = 0; d < 2; ++d) {
                int count = 0;
                for (int i = 0; i < 4; ++i)
                    count += lDiff[d][i] <= lTolerance && abDiff[d][i] <= abTolerance;
                work.homogeneity[d][ty][tx] = uint8_t(count);
            }
        }
    }

    // The direction with more homogeneity around the pixel wins; a tie
    // averages both.
    for (int ty = std::max(3, kBorder - top); ty < std::min(kTile - 3, height - kBorder - top); ++ty) {
        const int y = top + ty;
        for (int tx = std::max(3, kBorder - left); tx < std::min(kTile - 3, width - kBorder - left);
             ++tx) {
            int sum[2] = {0, 0};
            for (int d = 0; d < 2; ++d)
                for (int i = -1; i <= 1; ++i)
                    for (int j = -1; j <= 1; ++j)
                        sum[d] += work.homogeneity[d][ty + i][tx + j];
            T *o = buffer + (size_t(y) * size_t(w) + size_t(left + tx)) * 3;
            const T *h = work.rgb[0][ty][tx];
            const T *v = work.rgb[1][ty][tx];
            if (sum[0] != sum[1]) {
                const T *best = sum[1] > sum[0] ? v : h;
                o[0] = best[0];
                o[1] = best[1];
                o[2] = best[2];
            } else {
                for (int c = 0; c < 3; ++c)
                    o[c] = T((h[c] + v[c]) >> 1);
            }
        }
    }
}

std::vector<float> buildCubeRootTable()
{
    std::vector<float> table(65536);
    for (int i = 0; i < 65536; ++i) {
        const float r = float(i / 65535.0);
        table[size_t(i)] = double(r) > 0.008856 ? float(std::pow(double(r), 1 / 3.0))
                                         : float(7.787 * double(r) + 16 / 116.0);
    }
    return table;
}

} // namespace

const float *cubeRootTable()
{
    // Function-local statics are initialised once, even when threads race.
    static const std::vector<float> table = buildCubeRootTable();
    return table.data();
}

LabColour toLab(int red, int green, int blue)
{
    const float *cubeRoot = cubeRootTable();
    float f[3];
    for (int i = 0; i < 3; ++i) {
        const float v = 0.5f + (kRgbToXyz[i][0] * float(red) + kRgbToXyz[i][1] * float(green) +
                                kRgbToXyz[i][2] * float(blue));
        f[i] = cubeRoot[std::clamp(int(v), 0, 65535)];
    }
    return {116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])};
}

template <typename T>
int demosaicHomogeneity(const T *source, T *buffer, int width, int height, int pattern)
{
    cubeRootTable();
    const uint32_t word = patternWord(pattern);
    if (!word)
        return kDemosaicInvalidPattern;
    if (width <= 0 || height <= 0)
        return kDemosaicOk;
    const bool hasInterior = width > 2 * kBorder && height > 2 * kBorder;
    std::unique_ptr<WorkArea<T>> work(hasInterior ? new (std::nothrow) WorkArea<T> : nullptr);
    if (hasInterior && !work)
        return kDemosaicNoMemory;

    // Own samples in place, other colours black until something better is
    // known: a one-pixel-wide strip never sees some colours at all.
    const size_t w = size_t(width);
    for (int y = 0; y < height; ++y) {
        const T *s = source + size_t(y) * w;
        T *o = buffer + size_t(y) * w * 3;
        const Site phase[2] = {siteAt(word, 0, y), siteAt(word, 1, y)};
        forEachInRow(0, width, phase, [&](int x, const Site &site) {
            o[3 * x] = o[3 * x + 1] = o[3 * x + 2] = 0;
            o[3 * x + site.colour] = s[x];
        });
    }
    borderMeans(source, buffer, width, height, word);
    if (!hasInterior)
        return kDemosaicOk;

    // The tile at origin (2, 2) measures homogeneity from there on; its
    // window starts two pixels earlier, at the image corner.
    for (int origin = 2; origin - 2 + kBorder < height - kBorder; origin += kTileStep)
        for (int column = 2; column - 2 + kBorder < width - kBorder; column += kTileStep)
            homogeneityTile(source, buffer, width, height, word, origin - 2, column - 2, *work);
    return kDemosaicOk;
}

template int demosaicHomogeneity<uint8_t>(const uint8_t *, uint8_t *, int, int, int);
template int demosaicHomogeneity<uint16_t>(const uint16_t *, uint16_t *, int, int, int);
