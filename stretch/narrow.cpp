#include "stretch/narrow.h"

#include "stretch/smooth_scale.h"

#include <utility>

QImage narrowToWidth(QImage picture, int referenceWidth, int widthLimit, int quality)
{
    if (widthLimit <= 0 || widthLimit >= referenceWidth || picture.isNull())
        return picture;
    const bool smooth = quality > 50;
    if (smooth && widthLimit < picture.width() && isGreyRamp(picture)) {
        QImage scaled = smoothScaledGreyToWidth(std::move(picture), widthLimit);
        if (!scaled.isNull())
            return scaled;
    }
    return picture.scaledToWidth(widthLimit, smooth ? Qt::SmoothTransformation : Qt::FastTransformation);
}
