#include "stretch/fits_preview.h"

QImage fitsPreview(const QString &, int, int, QString *error)
{
    if (error)
        *error = QStringLiteral("previews of FITS and XISF files are not available yet");
    return {};
}
