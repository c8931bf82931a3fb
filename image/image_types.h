#pragma once

#include <QMetaType>
#include <QString>
#include <QVariant>

#include <cstdint>

// CFITSIO data type codes name the sample type of every buffer, and the
// enumerators keep them as their values. 40 and 41 always mean 4-byte
// samples here, whatever C type CFITSIO pairs them with. Scoped, so that a
// CFITSIO read type (TUINT is 30, not 40), a BITPIX or a byte count never
// passes for a sample type: codes become sample types only where they
// enter, after a check (the loaders), and numbers again only by
// `sampleTypeCode`.
enum class SampleType : int32_t {
    None = 0,
    UInt8 = 11,   // TBYTE
    UInt16 = 20,  // TUSHORT
    Int16 = 21,   // TSHORT
    UInt32 = 40,  // TULONG, 4 bytes
    Int32 = 41,   // TLONG, 4 bytes
    Float = 42,   // TFLOAT
    Int64 = 81,   // TLONGLONG
    Double = 82,  // TDOUBLE
};

// The number a message or trace shows for a sample type.
constexpr int32_t sampleTypeCode(SampleType type)
{
    return static_cast<int32_t>(type);
}

// The one place that maps a sample type to its C++ type: calls `work`
// with a value of that type, and returns false, calling nothing, for
// None. Every template over the sample type is selected through it.
template <typename Work>
bool withSampleType(SampleType sampleType, Work &&work)
{
    switch (sampleType) {
    case SampleType::UInt8:
        work(uint8_t());
        return true;
    case SampleType::UInt16:
        work(uint16_t());
        return true;
    case SampleType::Int16:
        work(int16_t());
        return true;
    case SampleType::UInt32:
        work(uint32_t());
        return true;
    case SampleType::Int32:
        work(int32_t());
        return true;
    case SampleType::Float:
        work(float());
        return true;
    case SampleType::Int64:
        work(int64_t());
        return true;
    case SampleType::Double:
        work(double());
        return true;
    case SampleType::None:
        break;
    }
    return false;
}

// Bits per sample as the `bpp` property reports it (8 for None).
int bitsPerSampleOf(SampleType sampleType);

// Plain statistics record, copied by value.
struct ImageStatistics {
    double minimum[3] = {0, 0, 0};
    double maximum[3] = {0, 0, 0};
    double mean[3] = {0, 0, 0};
    double standardDeviation[3] = {0, 0, 0};
    double median[3] = {0, 0, 0};
    double signalToNoise = 0;
    SampleType sampleType = SampleType::None;
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
