#pragma once

#include <QImage>

// Smooth downscaling of a grey picture (Indexed8 with a grey ramp palette,
// or Grayscale8) that gives exactly the pixels of
// QImage::scaledToWidth(width, Qt::SmoothTransformation), an RGB32 picture,
// without first expanding the whole source to 32-bit pixels as Qt does:
// for a 6000 x 4000 frame that expansion alone is 96 MB and most of the time.
//
// `picture` is consumed (its rows are packed in place). Returns a null
// picture when the case is not one it handles (not grey, not narrower).
QImage smoothScaledGreyToWidth(QImage &&picture, int width);

// True for Indexed8 pictures whose palette is the 256-level grey ramp and
// for Grayscale8 pictures.
bool isGreyRamp(const QImage &picture);
