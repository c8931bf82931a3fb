#include "image/fits_data.h"

bool FITSData::readFits(const QByteArray &, bool)
{
    loadError = QStringLiteral("FITS loading is not available yet");
    return false;
}
