#include "image/fits_data.h"

void FITSData::loadWorldCoordinates()
{
    worldCoordState = 3;
}
