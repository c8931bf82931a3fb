#pragma once

// Demosaic kernels: a single colour-filter-array plane of W x H samples in,
// a W x H interleaved RGB image (three values per pixel, rows top to bottom)
// out. Pure functions over caller-owned buffers; the FITSData operations in
// fits_data_debayer.cpp are their only user inside the program.
//
// Every routine returns kDemosaicOk, or kDemosaicInvalidPattern before it
// writes anything. Each writes every value of its W x H result or clears it
// as border, except downsampling, which packs a (W/2) x (H/2) result at the
// start of the buffer. Images smaller than a method's neighbourhood are
// handled without reading or writing outside the buffers: what cannot be
// interpolated is border and comes out black (homogeneity-directed: border
// means).

#include <cstddef>
#include <cstdint>

constexpr int kDemosaicOk = 0;
// The value the camera libraries of this family use for an unknown filter.
constexpr int kDemosaicInvalidPattern = -26;
// Method code outside 0-7 (dispatcher only).
constexpr int kDemosaicInvalidMethod = -27;
// The scratch area of the gradient or homogeneity method was not available.
constexpr int kDemosaicNoMemory = -28;

enum DemosaicMethod : int {
    kDemosaicNearest = 0,
    kDemosaicSimple = 1,
    kDemosaicBilinear = 2,
    kDemosaicHighQuality = 3,
    kDemosaicDownsample = 4,
    kDemosaicEdgeSense = 5,
    kDemosaicGradients = 6,
    kDemosaicHomogeneity = 7,
};

// 2-bit colours (0 red, 1 green, 2 blue) of a pattern code (512 RGGB,
// 513 GBRG, 514 GRBG, 515 BGGR), indexed by ((y * 2) & 14) | (x & 1);
// 0 for any other code.
constexpr uint32_t patternWord(int pattern)
{
    switch (pattern) {
    case 512:
        return 0x94949494u;
    case 513:
        return 0x49494949u;
    case 514:
        return 0x61616161u;
    case 515:
        return 0x16161616u;
    default:
        return 0;
    }
}

// Site colour of (x, y); negative coordinates wrap like the pattern does.
inline int colourAt(uint32_t word, int x, int y)
{
    return int((word >> ((((unsigned(y) * 2u) & 14u) | (unsigned(x) & 1u)) * 2u)) & 3u);
}

// Sets every value of the outer `border` rows and columns to 0; a border
// that meets itself clears the whole image.
template <typename T>
void clearBorder(T *buffer, int width, int height, int border);

// Method 0: each pixel from the 2x2 block to its lower right; green from the
// block's green in the right column. Last row and column black.
template <typename T>
int demosaicNearest(const T *source, T *buffer, int width, int height, int pattern);

// Method 0 written straight into three planes of W x H values, the layout
// the image object keeps: the values of demosaicNearest without an
// interleaved buffer in between. Only rows [firstRow, endRow) are written
// (endRow -1: to the last), so that bands of rows can go to several threads.
template <typename T>
int demosaicNearestPlanar(const T *source, T *red, T *green, T *blue, int width, int height,
                          int pattern, int firstRow = 0, int endRow = -1);

// Method 0's planes are a re-indexing of the mosaic: for x < width - 1 and
// y < height - 1, channel c of pixel (x, y) is the source sample at
// y * width + x + nearestSite(pattern, c, x, y, width), and the last row and
// column are 0. Readers of single planes (the preview's stretch) take the
// values from the mosaic this way instead of making three planes. Depends
// only on the parity of x and y; 0 for an invalid pattern.
ptrdiff_t nearestSite(int pattern, int channel, int x, int y, int width);

// Method 1: as method 0 with green the rounded mean of the block's greens.
template <typename T>
int demosaicSimple(const T *source, T *buffer, int width, int height, int pattern);

// Method 2: bilinear; 1-pixel black border.
int demosaicBilinear(const uint8_t *source, uint8_t *buffer, int width, int height, int pattern);
int demosaicBilinear(const uint16_t *source, uint16_t *buffer, int width, int height, int pattern);

// Method 3: 5x5 gradient-corrected linear interpolation, clamped at
// 2^bits - 1; 2-pixel black border.
int demosaicHighQuality(const uint8_t *source, uint8_t *buffer, int width, int height, int pattern);
int demosaicHighQuality(const uint16_t *source, uint16_t *buffer, int width, int height, int pattern,
                        int bits);

// Method 4: one pixel per even-aligned 2x2 block, packed as a (W/2) x (H/2)
// image at the start of the buffer; the rest of the buffer is not written.
template <typename T>
int demosaicDownsample(const T *source, T *buffer, int width, int height, int pattern);

// Method 5: green along the smoother axis, red and blue from colour
// differences; 3-pixel black border.
template <typename T>
int demosaicEdgeSense(const T *source, T *buffer, int width, int height, int pattern);

// Method 6: variable number of gradients over the bilinear result; 1-pixel
// black border, second ring bilinear.
int demosaicGradients(const uint8_t *source, uint8_t *buffer, int width, int height, int pattern);
int demosaicGradients(const uint16_t *source, uint16_t *buffer, int width, int height, int pattern,
                      int bits);

// Method 7: adaptive homogeneity-directed; pixels less than 3 from an edge
// get the means of their 3x3 neighbourhood.
template <typename T>
int demosaicHomogeneity(const T *source, T *buffer, int width, int height, int pattern);

// Runs method `method` (0-7); kDemosaicInvalidMethod for any other code.
template <typename T>
int demosaic(int method, const T *source, T *buffer, int width, int height, int pattern);

struct LabColour {
    float l;
    float a;
    float b;
};

// CIELab of a camera RGB triple on the 16-bit scale (8-bit data is fed
// unchanged), through cubeRootTable().
LabColour toLab(int red, int green, int blue);

// The CIELab companding function sampled at i / 65535 for i = 0..65535;
// built on first use, safely from any thread, and kept for the process.
const float *cubeRootTable();
