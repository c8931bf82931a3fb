#include "debayer/demosaic.h"
#include "image/fits_data.h"

bool FITSData::debayer8()
{
    return false;
}

bool FITSData::debayer16()
{
    return false;
}
