#include "image/fits_data.h"
#include "stats/statistics.h"

void FITSData::computeStatistics(bool) {}
void FITSData::computeMinMax(bool) {}
void FITSData::computeMedian(bool) {}
void FITSData::computeMeanDeviation(bool) {}
