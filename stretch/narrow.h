#pragma once

#include <QImage>

// Scales `picture` to exactly `widthLimit` pixels wide, height in proportion,
// when 0 < widthLimit < referenceWidth; smooth scaling above quality 50,
// fast scaling otherwise. Any other limit returns the picture unchanged.
// The result is always what QImage::scaledToWidth gives; grey pictures take
// a path that spares Qt's 32-bit copy of the whole source.
QImage narrowToWidth(QImage picture, int referenceWidth, int widthLimit, int quality);
