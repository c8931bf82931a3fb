#include "image/fits_data.h"

bool FITSData::unpackToMemory(const QByteArray &)
{
    return false;
}
