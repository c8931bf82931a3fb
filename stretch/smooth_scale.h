#pragma once

#include <QImage>

#include <cstdint>
#include <functional>

// Smooth downscaling that gives exactly the pixels of
// QImage::scaledToWidth(width, Qt::SmoothTransformation), an RGB32 picture,
// without the whole source picture in 32-bit pixels: Qt first expands an
// 8-bit picture to 32 bits (96 MB for a 6000 x 4000 frame) and reads it
// whole, where these functions take the source a band of rows at a time.

// Fills `rowCount` rows of one plane, from row `firstRow` on, as 8-bit
// levels packed `width` bytes a row into `out`. Called from several pool
// threads at once, for overlapping bands.
using PlaneRowSource = std::function<void(int plane, int firstRow, int rowCount, uint8_t *out)>;

// True when row `row` of `plane` holds exactly the levels of row `row` - 1
// (a row of a Bayer mosaic's red or blue plane serves two plane rows); the
// narrowing then reuses that row's column sums. May always say false.
using PlaneRowRepeats = std::function<bool(int plane, int row)>;

// Narrows a `sw` x `sh` picture given as one grey plane or three colour
// planes (red, green, blue) of levels drawn from `source`, to `width`:
// the pixels Qt's smooth scaling gives for the Indexed8 grey-ramp picture,
// or for the RGB32 picture, of those levels. Null when the case is not one
// it handles (not narrower, not 1 or 3 planes, or scaling tables that would
// read past the picture, which Qt's own scaling then settles).
QImage smoothScaledPlanesToWidth(int sw, int sh, int planes, int width, const PlaneRowSource &source,
                                 const PlaneRowRepeats &repeats = nullptr);

// The same for a grey picture (Indexed8 with a grey ramp palette, or
// Grayscale8). `picture` is released when it was scaled; null (and the
// picture kept) for cases it does not handle.
QImage smoothScaledGreyToWidth(QImage &&picture, int width);

// True for Indexed8 pictures whose palette is the 256-level grey ramp and
// for Grayscale8 pictures.
bool isGreyRamp(const QImage &picture);
