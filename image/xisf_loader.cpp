#include "image/fits_data.h"

bool FITSData::readXisf(const QByteArray &)
{
    return false;
}
