#pragma once

#include <QMetaType>
#include <QString>
#include <QVariant>

#include <cstdint>

// CFITSIO data type codes name the sample type of every buffer. 40 and 41
// always mean 4-byte samples here, whatever C type CFITSIO pairs them with.
enum SampleType : int {
    kSampleNone = 0,
    kSampleUInt8 = 11,   // TBYTE
    kSampleUInt16 = 20,  // TUSHORT
    kSampleInt16 = 21,   // TSHORT
    kSampleUInt32 = 40,  // TULONG, 4 bytes
    kSampleInt32 = 41,   // TLONG, 4 bytes
    kSampleFloat = 42,   // TFLOAT
    kSampleInt64 = 81,   // TLONGLONG
    kSampleDouble = 82,  // TDOUBLE
};

// The one place that maps a sample type code to its C++ type: calls
// `work` with a value of that type, and returns false, calling nothing, for
// a code that names no sample type. Every template over the sample type is
// selected through it.
template <typename Work>
bool withSampleType(int sampleType, Work &&work)
{
    switch (sampleType) {
    case kSampleUInt8:
        work(uint8_t());
        return true;
    case kSampleUInt16:
        work(uint16_t());
        return true;
    case kSampleInt16:
        work(int16_t());
        return true;
    case kSampleUInt32:
        work(uint32_t());
        return true;
    case kSampleInt32:
        work(int32_t());
        return true;
    case kSampleFloat:
        work(float());
        return true;
    case kSampleInt64:
        work(int64_t());
        return true;
    case kSampleDouble:
        work(double());
        return true;
    default:
        return false;
    }
}

// Bits per sample as the `bpp` property reports it (8 for an unknown code).
int bitsPerSampleOf(int sampleType);

// Plain statistics record, copied by value.
struct ImageStatistics {
    double minimum[3] = {0, 0, 0};
    double maximum[3] = {0, 0, 0};
    double mean[3] = {0, 0, 0};
    double standardDeviation[3] = {0, 0, 0};
    double median[3] = {0, 0, 0};
    double signalToNoise = 0;
    int32_t sampleType = 0;
    int32_t bytesPerSample = 1;
    int32_t dimensions = 2;
    int64_t size = 0;
    uint32_t samplesPerChannel = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t channels = 1;
};

// Colour filter pattern codes of the top-left 2x2 cell, read row by row.
enum BayerPattern : int {
    kPatternRGGB = 512,
    kPatternGBRG = 513,
    kPatternGRBG = 514,
    kPatternBGGR = 515,
};

struct DemosaicParams {
    int32_t method = 0;
    int32_t pattern = kPatternRGGB;
    int32_t offsetX = 0;
    int32_t offsetY = 0;
};

// One header card. `value` is invalid for commentary cards, otherwise an
// Int, a Double or a String.
struct HeaderRecord {
    QString key;
    QVariant value;
    QString comment;
};

enum FITSMode : int32_t { Normal = 0, Focus = 1, Guide = 2, Calibrate = 3, Align = 4, Unknown = 5 };

Q_DECLARE_TYPEINFO(FITSMode, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(FITSMode)
