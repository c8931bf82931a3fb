// The fast ways of the FITS preview give the pixels of the straightforward
// pipeline kept here: samples as CFITSIO converts them, every row rendered
// into a full-size picture, then Qt's scaling. Inputs of every sample type
// and layout the loader reads directly or hands to CFITSIO, at odd sizes.

#include "image/fits_data.h"
#include "image/image_types.h"
#include "stretch/fits_preview.h"
#include "stretch/stretch_renderer.h"
#include "tests/fixtures.h"

#include <QTemporaryDir>

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

// The preview as the pipeline was first built: load, full-size rendering,
// QImage::scaledToWidth.
QImage referencePreview(const QString &path, int widthLimit, int quality)
{
    FITSData data;
    if (!data.startLoad(path).result())
        return {};
    const ImageStatistics &stats = data.stats;
    const bool colour = stats.channels == 3;
    QImage picture(stats.width, stats.height, colour ? QImage::Format_RGB32 : QImage::Format_Indexed8);
    if (!colour) {
        QVector<QRgb> grey(256);
        for (int i = 0; i < 256; ++i)
            grey[i] = qRgb(i, i, i);
        picture.setColorTable(grey);
    }
    if (stats.minimum[0] == stats.maximum[0]) {
        if (colour)
            picture.fill(qRgb(255, 255, 255));
        else
            picture.fill(255u);
    } else {
        StretchRenderer renderer(stats.width, stats.height, stats.channels, stats.sampleType);
        renderer.setParams(renderer.computeParams(data.pixels.get()));
        if (!renderer.run(data.pixels.get(), picture, 1))
            return {};
    }
    if (widthLimit > 0 && widthLimit < stats.width)
        picture = picture.scaledToWidth(widthLimit, quality > 50 ? Qt::SmoothTransformation : Qt::FastTransformation);
    return picture;
}

// The samples as CFITSIO's own conversion reads them, in the type the
// image object holds.
std::vector<uint8_t> samplesFromCfitsio(const QString &path, SampleType sampleType, size_t count)
{
    int type = 0, bytes = 0;
    switch (sampleType) {
    case SampleType::UInt8:
        type = TBYTE, bytes = 1;
        break;
    case SampleType::UInt16:
        type = TUSHORT, bytes = 2;
        break;
    case SampleType::UInt32:
        type = TUINT, bytes = 4;
        break;
    case SampleType::Int64:
        type = TLONGLONG, bytes = 8;
        break;
    case SampleType::Float:
        type = TFLOAT, bytes = 4;
        break;
    case SampleType::Double:
        type = TDOUBLE, bytes = 8;
        break;
    default:
        return {};
    }
    std::vector<uint8_t> samples(count * size_t(bytes));
    fitsfile *file = nullptr;
    int status = 0, anyNull = 0;
    const QByteArray name = QFile::encodeName(path);
    fits_open_diskfile(&file, name.constData(), READONLY, &status);
    fits_read_img(file, type, 1, LONGLONG(count), nullptr, samples.data(), &anyNull, &status);
    int closeStatus = 0;
    if (file)
        fits_close_file(file, &closeStatus);
    return status ? std::vector<uint8_t>() : samples;
}

struct Input {
    const char *name;
    int bitpix;
    int dataType;
    int planes;
    QStringList cards;
    // Stored value of sample i (before BZERO and BSCALE).
    double (*value)(size_t i, std::mt19937 &rng);
};

// A sky background with noise and a few bright stars, around `level`.
double sky(std::mt19937 &rng, double level, double noise, double star)
{
    std::normal_distribution<double> n(level, noise);
    return rng() % 97 == 0 ? star : n(rng);
}

const Input kInputs[] = {
    {"u8", BYTE_IMG, TBYTE, 1, {}, [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 40, 6, 250), 0.0, 255.0); }},
    {"u8rgb", BYTE_IMG, TBYTE, 3, {}, [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 90, 20, 255), 0.0, 255.0); }},
    {"u16offset", SHORT_IMG, TSHORT, 1, {"BZERO   =                32768"},
     [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 1000, 30, 60000), 0.0, 65535.0) - 32768; }},
    {"u16plain", SHORT_IMG, TSHORT, 1, {}, [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 900, 30, 32000), 0.0, 32767.0); }},
    {"s16negative", SHORT_IMG, TSHORT, 1, {}, [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 10, 30, 9000), -32768.0, 32767.0); }},
    {"u16blank", SHORT_IMG, TSHORT, 1, {"BZERO   =                32768", "BLANK   =               -32768"},
     [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 1000, 30, 60000), 0.0, 65535.0) - 32768; }},
    {"u16scaled", SHORT_IMG, TSHORT, 1, {"BSCALE  =                    2"},
     [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 500, 20, 30000), 0.0, 32767.0); }},
    {"u16rgb", SHORT_IMG, TSHORT, 3, {"BZERO   =                32768"},
     [](size_t i, std::mt19937 &r) { return std::clamp(sky(r, 800.0 + double(i % 3) * 300, 25, 50000), 0.0, 65535.0) - 32768; }},
    {"u16rggb", SHORT_IMG, TSHORT, 1, {"BZERO   =                32768", "BAYERPAT= 'RGGB'"},
     [](size_t i, std::mt19937 &r) { return std::clamp(sky(r, 1000.0 * (1 + double(i % 2)), 30, 55000), 0.0, 65535.0) - 32768; }},
    {"u8gbrg", BYTE_IMG, TBYTE, 1, {"BAYERPAT= 'GBRG'"},
     [](size_t i, std::mt19937 &r) { return std::clamp(sky(r, 30.0 + double(i % 2) * 20, 5, 240), 0.0, 255.0); }},
    // Kept as a mosaic by the preview: every pattern, both offsets, the
    // bottom-up row order and a range stated by the header.
    {"u16bggr_y1", SHORT_IMG, TSHORT, 1,
     {"BZERO   =                32768", "BAYERPAT= 'BGGR'", "XBAYROFF=                    0", "YBAYROFF=                    1"},
     [](size_t i, std::mt19937 &r) { return std::clamp(sky(r, 700.0 * (1 + double(i % 3)), 30, 65535), 0.0, 65535.0) - 32768; }},
    {"u16gbrg_x1", SHORT_IMG, TSHORT, 1, {"BZERO   =                32768", "BAYERPAT= 'GBRG'", "XBAYROFF=                    1"},
     [](size_t i, std::mt19937 &r) { return std::clamp(sky(r, 40000.0 - double(i % 2) * 900, 300, 65535), 0.0, 65535.0) - 32768; }},
    {"u8grbg_bottomup", BYTE_IMG, TBYTE, 1, {"BAYERPAT= 'GRBG'", "ROWORDER= 'BOTTOM-UP'"},
     [](size_t i, std::mt19937 &r) { return std::clamp(sky(r, 20.0 + double(i % 2) * 30, 4, 255), 0.0, 255.0); }},
    {"u16gbrg_range", SHORT_IMG, TSHORT, 1,
     {"BZERO   =                32768", "BAYERPAT= 'GBRG'", "DATAMIN =                    0", "DATAMAX =                65535"},
     [](size_t i, std::mt19937 &r) { return std::clamp(sky(r, 1500.0 + double(i % 2) * 500, 40, 30000), 0.0, 65535.0) - 32768; }},
    {"u32offset", LONG_IMG, TINT, 1, {"BZERO   =           2147483648"},
     [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 70000, 900, 4e9), 0.0, 4294967295.0) - 2147483648.0; }},
    {"u32plain", LONG_IMG, TINT, 1, {}, [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 1000, 30, 60000), 0.0, 65535.0); }},
    // BLANK and an odd BZERO send 32- and 64-bit data through CFITSIO's
    // conversion, in the read type the loader names for the sample type.
    {"u32blank", LONG_IMG, TINT, 1, {"BZERO   =           2147483648", "BLANK   =          -2147483648"},
     [](size_t, std::mt19937 &r) { return std::clamp(sky(r, 70000, 900, 4e9), 0.0, 4294967295.0) - 2147483648.0; }},
    {"s64", LONGLONG_IMG, TLONGLONG, 1, {}, [](size_t, std::mt19937 &r) { return sky(r, 1500, 40, 1e6); }},
    {"s64offset", LONGLONG_IMG, TLONGLONG, 1, {"BZERO   =                    1"},
     [](size_t, std::mt19937 &r) { return sky(r, 1500, 40, 1e6); }},
    {"f32unit", FLOAT_IMG, TFLOAT, 1, {},
     [](size_t i, std::mt19937 &r) {
         return i % 211 == 5 ? std::numeric_limits<double>::quiet_NaN() : std::clamp(sky(r, 0.1, 0.01, 0.9), 0.0, 1.0);
     }},
    {"f32wide", FLOAT_IMG, TFLOAT, 1, {}, [](size_t, std::mt19937 &r) { return sky(r, 1200, 40, 50000); }},
    {"f64", DOUBLE_IMG, TDOUBLE, 1, {}, [](size_t, std::mt19937 &r) { return sky(r, 0.2, 0.02, 0.95); }},
    {"f32rgb", FLOAT_IMG, TFLOAT, 3, {}, [](size_t i, std::mt19937 &r) { return sky(r, 0.1 + 0.05 * double(i % 3), 0.01, 0.8); }},
};

// Writes `input` at `width` x `height`; the stored values in the file's type.
bool writeInput(const QString &path, const Input &input, long width, long height)
{
    std::mt19937 rng(uint32_t(width * 31 + height));
    const size_t count = size_t(width) * size_t(height) * size_t(input.planes);
    std::vector<double> values(count);
    for (size_t i = 0; i < count; ++i)
        values[i] = input.value(i, rng);
    std::vector<uint8_t> stored;
    const auto store = [&](auto tag) {
        using T = decltype(tag);
        stored.resize(count * sizeof(T));
        for (size_t i = 0; i < count; ++i) {
            const T v = T(std::isnan(values[i]) ? values[i] : std::round(values[i]));
            std::memcpy(stored.data() + i * sizeof(T), &v, sizeof(T));
        }
    };
    switch (input.dataType) {
    case TBYTE:
        store(uint8_t());
        break;
    case TSHORT:
        store(int16_t());
        break;
    case TINT:
        store(int32_t());
        break;
    case TLONGLONG:
        store(int64_t());
        break;
    case TFLOAT:
        stored.resize(count * 4);
        for (size_t i = 0; i < count; ++i) {
            const float v = float(values[i]);
            std::memcpy(stored.data() + i * 4, &v, 4);
        }
        break;
    default:
        stored.resize(count * 8);
        std::memcpy(stored.data(), values.data(), count * 8);
        break;
    }
    FitsFixture fixture;
    fixture.bitpix = input.bitpix;
    fixture.axes = {width, height};
    if (input.planes > 1)
        fixture.axes.push_back(input.planes);
    fixture.data = stored.data();
    fixture.dataType = input.dataType;
    fixture.cards = input.cards;
    return writeFits(path, fixture);
}

struct Size {
    long width, height;
};
const Size kSizes[] = {{1001, 667}, {203, 97}, {7, 5}, {3, 2}};

} // namespace

TEST(PreviewIdentity, SamplesAreThoseOfCfitsiosConversion)
{
    QTemporaryDir dir;
    for (const Input &input : kInputs) {
        if (input.cards.join(' ').contains("BAYERPAT"))
            continue;  // demosaiced: the samples are no longer the file's
        for (const Size &size : {kSizes[0], kSizes[2]}) {
            const QString path = dir.filePath(QStringLiteral("%1.fits").arg(input.name));
            ASSERT_TRUE(writeInput(path, input, size.width, size.height));
            FITSData data;
            ASSERT_TRUE(data.startLoad(path).result()) << input.name;
            const size_t count = size_t(data.stats.samplesPerChannel) * data.stats.channels;
            const std::vector<uint8_t> expected = samplesFromCfitsio(path, data.stats.sampleType, count);
            ASSERT_FALSE(expected.empty()) << input.name;
            ASSERT_EQ(data.pixelBytes, expected.size()) << input.name;
            EXPECT_EQ(std::memcmp(data.pixels.get(), expected.data(), expected.size()), 0)
                << input.name << " " << size.width << "x" << size.height;
        }
    }
}

TEST(PreviewIdentity, PreviewsEqualTheFullSizeRenderingScaledByQt)
{
    QTemporaryDir dir;
    // The large size, where the preview width of 800 narrows too, for one
    // input of each way through the pipeline; the others at the small sizes.
    const QStringList large = {"u8rgb", "u16offset", "u16rgb", "u16rggb", "u16bggr_y1", "f32unit", "f64"};
    for (const Input &input : kInputs) {
        for (const Size &size : kSizes) {
            if (size.width == kSizes[0].width && !large.contains(QLatin1String(input.name)))
                continue;
            const QString path = dir.filePath(QStringLiteral("%1-%2.fits").arg(input.name).arg(size.width));
            ASSERT_TRUE(writeInput(path, input, size.width, size.height));
            for (const int width : {0, 100, 800, int(size.width) - 1}) {
                for (const int quality : {50, 90}) {
                    const QImage expected = referencePreview(path, width, quality);
                    QString error;
                    const QImage actual = fitsPreview(path, width, quality, &error);
                    ASSERT_FALSE(expected.isNull()) << input.name;
                    ASSERT_FALSE(actual.isNull()) << input.name << ": " << error.toStdString();
                    EXPECT_EQ(actual.format(), expected.format()) << input.name;
                    EXPECT_TRUE(actual == expected) << input.name << " " << size.width << "x" << size.height
                                                    << " to " << width << " at quality " << quality;
                }
            }
        }
    }
}

TEST(PreviewIdentity, FlatImagesStayWhiteAtEveryWidth)
{
    QTemporaryDir dir;
    // A constant plane, and a black mosaic, whose red plane is all 0.
    const struct {
        int16_t value;
        QStringList cards;
    } cases[] = {{1234, {}}, {-32768, {"BZERO   =                32768", "BAYERPAT= 'RGGB'"}}};
    for (const auto &flat : cases) {
        const QString path = dir.filePath("flat.fits");
        std::vector<int16_t> stored(size_t(301) * 203, flat.value);
        FitsFixture flatImage;
        flatImage.bitpix = SHORT_IMG;
        flatImage.axes = {301, 203};
        flatImage.data = stored.data();
        flatImage.dataType = TSHORT;
        flatImage.cards = flat.cards;
        ASSERT_TRUE(writeFits(path, flatImage));
        for (const int width : {0, 100})
            for (const int quality : {50, 90})
                EXPECT_TRUE(fitsPreview(path, width, quality) == referencePreview(path, width, quality))
                    << flat.cards.join(' ').toStdString();
    }
}
