#include "stretch/narrow.h"

QImage narrowToWidth(const QImage &picture, int referenceWidth, int widthLimit, int quality)
{
    if (widthLimit <= 0 || widthLimit >= referenceWidth || picture.isNull())
        return picture;
    return picture.scaledToWidth(widthLimit, quality > 50 ? Qt::SmoothTransformation : Qt::FastTransformation);
}
