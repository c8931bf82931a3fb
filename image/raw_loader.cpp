#include "image/fits_data.h"

bool FITSData::readRaw(const QByteArray &)
{
    return false;
}
