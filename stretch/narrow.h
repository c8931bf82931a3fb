#pragma once

#include <QImage>

// Scales `picture` to exactly `widthLimit` pixels wide, height in proportion,
// when 0 < widthLimit < referenceWidth; smooth scaling above quality 50,
// fast scaling otherwise. Any other limit returns the picture unchanged.
QImage narrowToWidth(const QImage &picture, int referenceWidth, int widthLimit, int quality);
