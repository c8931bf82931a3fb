#include "image/fits_data.h"

bool FITSData::readPicture(const QByteArray &)
{
    return false;
}
