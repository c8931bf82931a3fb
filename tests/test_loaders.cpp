#include "image/fits_data.h"
#include "image/raw_guards.h"
#include "tests/dng_fixture.h"
#include "tests/fixtures.h"
#include "tests/xisf_writer.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <QFileInfo>

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>

using LibXISF::Image;

namespace {

bool load(FITSData &data, const QString &path)
{
    QFuture<bool> future = data.startLoad(path);
    future.waitForFinished();
    return future.result();
}

// 16-bit samples whose value tells channel and pixel: 1000 * c + i, laid
// out planar or interleaved.
QByteArray taggedSamples(uint32_t pixels, uint32_t channels, bool normal)
{
    QByteArray out(int(pixels * channels * 2), '\0');
    auto *s = reinterpret_cast<uint16_t *>(out.data());
    for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t i = 0; i < pixels; ++i)
            s[normal ? i * channels + c : c * pixels + i] = uint16_t(1000 * c + i);
    return out;
}

uint16_t sample16(const FITSData &data, size_t index)
{
    uint16_t v;
    std::memcpy(&v, data.pixels.get() + 2 * index, 2);
    return v;
}

class Loaders : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString path(const QString &name) const { return dir.filePath(name); }
    QString writeXisf(const QString &name, const XisfFixture &fixture)
    {
        const QString p = path(name);
        EXPECT_TRUE(writeXisfFile(p, {fixture}));
        return p;
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(Loaders, XisfSampleFormats)
{
    struct Case {
        Image::SampleFormat format;
        SampleType sampleType;  // None: the load fails
        int bytes;
    };
    const Case cases[] = {{Image::UInt8, SampleType::UInt8, 1},    {Image::UInt16, SampleType::UInt16, 2},
                          {Image::UInt32, SampleType::UInt32, 4},  {Image::Float32, SampleType::Float, 4},
                          {Image::UInt64, SampleType::None, 8},    {Image::Float64, SampleType::None, 8},
                          {Image::Complex32, SampleType::None, 8}, {Image::Complex64, SampleType::None, 16}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.format);
        XisfFixture fixture;
        fixture.width = 7;
        fixture.height = 3;
        fixture.sampleFormat = c.format;
        fixture.samples = QByteArray(21 * c.bytes, '\0');
        for (int i = 0; i < fixture.samples.size(); ++i)
            fixture.samples[i] = char(i * 13 + 5);
        fixture.codec = "zlib";
        const QString file = writeXisf("mono.XISF", fixture);

        FITSData data;
        const bool ok = load(data, file);
        ASSERT_EQ(ok, c.sampleType != SampleType::None) << data.loadError.toStdString();
        if (!ok) {
            EXPECT_FALSE(data.pixels);
            EXPECT_TRUE(data.loadError.contains("sample format")) << data.loadError.toStdString();
            continue;
        }
        EXPECT_EQ(data.stats.sampleType, c.sampleType);
        EXPECT_EQ(data.stats.bytesPerSample, c.bytes);
        EXPECT_EQ(data.stats.width, 7);
        EXPECT_EQ(data.stats.height, 3);
        EXPECT_EQ(data.stats.channels, 1);
        EXPECT_EQ(data.stats.samplesPerChannel, 21u);
        EXPECT_EQ(data.stats.dimensions, 2);
        EXPECT_EQ(data.stats.size, QFileInfo(file).size());
        ASSERT_EQ(data.pixelBytes, uint32_t(fixture.samples.size()));
        EXPECT_EQ(std::memcmp(data.pixels.get(), fixture.samples.constData(), data.pixelBytes), 0);
    }
}

TEST_F(Loaders, XisfKeywordsAreStrings)
{
    struct Case {
        const char *written;
        const char *held;
    };
    const Case cases[] = {
        {"30", "30"},
        {"'M 31  '", "M 31"},
        {"'it''s'", "it's"},
        {"''", ""},
        {"' lead'", " lead"},
        {"  'padded    '  ", "padded"},
        {"'unterminated", "'unterminated"},
        {"T", "T"},
        {"1.5E+01 ", "1.5E+01 "},
    };
    XisfFixture fixture;
    fixture.sampleFormat = Image::UInt8;
    fixture.samples = QByteArray(1, '\x7f');
    for (const Case &c : cases)
        fixture.keywords.push_back({"KEY", c.written, "comment \xc2\xb0"});
    fixture.keywords.push_back({"EXPTIME", "30", "seconds"});

    FITSData data;
    ASSERT_TRUE(load(data, writeXisf("keywords.xisf", fixture)));
    ASSERT_EQ(data.headerRecords.size(), int(std::size(cases)) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const HeaderRecord &record = data.headerRecords[int(i)];
        EXPECT_EQ(record.key, "KEY");
        EXPECT_EQ(record.value.userType(), QMetaType::QString);
        EXPECT_EQ(record.value.toString(), QString(cases[i].held)) << cases[i].written;
        EXPECT_EQ(record.comment, QString::fromUtf8("comment \xc2\xb0"));
    }
    QVariant exposure;
    ASSERT_TRUE(data.findRecordValue("EXPTIME", exposure));
    EXPECT_EQ(exposure.userType(), QMetaType::QString);
    EXPECT_EQ(exposure.toString(), "30");
}

TEST_F(Loaders, XisfObservationTime)
{
    XisfFixture fixture;
    fixture.sampleFormat = Image::UInt8;
    fixture.samples = QByteArray(1, '\x7f');
    FITSData without;
    // The last suffix decides, as it does for the driver: not the FITS loader.
    ASSERT_TRUE(load(without, writeXisf("m31.fit.xisf", fixture))) << without.loadError.toStdString();
    EXPECT_FALSE(without.observationTime.isValid());

    fixture.keywords = {{"DATE-OBS", "'2023-10-01T21:30:05'", "UTC start"}};
    FITSData with;
    ASSERT_TRUE(load(with, writeXisf("dated.xisf", fixture)));
    EXPECT_EQ(with.observationTime, QDateTime(QDate(2023, 10, 1), QTime(21, 30, 5)));
}

TEST_F(Loaders, XisfChannelsBecomePlanes)
{
    struct Case {
        uint32_t channels;
        const char *storage;
        const char *colorSpace;
        uint8_t planes;
    };
    const Case cases[] = {
        {3, "Planar", "RGB", 3}, {3, "Normal", "RGB", 3}, {2, "Planar", "Gray", 1}, {2, "Normal", "Gray", 1},
        {4, "Planar", "RGB", 3}, {4, "Normal", "RGB", 3}, {4, "Planar", "Gray", 1}, {5, "Normal", "Gray", 1},
    };
    const uint32_t width = 5, height = 4, count = width * height;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " " << c.storage << " " << c.colorSpace);
        XisfFixture fixture;
        fixture.width = width;
        fixture.height = height;
        fixture.channels = c.channels;
        fixture.pixelStorage = c.storage;
        fixture.colorSpace = c.colorSpace;
        fixture.samples = taggedSamples(count, c.channels, QByteArray(c.storage) == "Normal");
        FITSData data;
        ASSERT_TRUE(load(data, writeXisf("colour.xisf", fixture))) << data.loadError.toStdString();
        EXPECT_EQ(data.stats.channels, c.planes);
        EXPECT_EQ(data.stats.samplesPerChannel, count);
        ASSERT_EQ(data.pixelBytes, c.planes * count * 2);
        for (uint32_t p = 0; p < c.planes; ++p)
            for (uint32_t i = 0; i < count; ++i)
                ASSERT_EQ(sample16(data, p * count + i), 1000 * p + i) << "plane " << p << " sample " << i;
    }
}

TEST_F(Loaders, XisfFromBytes)
{
    XisfFixture fixture;
    fixture.width = 3;
    fixture.sampleFormat = Image::UInt8;
    fixture.samples = QByteArray("\x01\x02\x03", 3);
    fixture.location = XisfLocation::InlineBase64;
    const QByteArray bytes = xisfFile({fixture});
    FITSData data;
    data.filename = "memory.xisf";
    data.extension = "xisf";
    ASSERT_TRUE(data.loadByExtension(bytes)) << data.loadError.toStdString();
    EXPECT_EQ(data.stats.size, bytes.size());
    EXPECT_EQ(data.pixelBytes, 3u);
    EXPECT_EQ(data.pixels[2], 3);
}

TEST_F(Loaders, XisfFailuresReleaseThePixels)
{
    XisfFixture fixture;
    fixture.sampleFormat = Image::UInt8;
    fixture.samples = QByteArray(1, '\x7f');
    const QString good = writeXisf("good.xisf", fixture);
    QByteArray damaged = xisfFile({fixture});
    damaged.chop(1);
    QFile file(path("damaged.xisf"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(damaged);
    file.close();
    XisfFixture empty;
    empty.attributes["sampleFormat"] = QString();  // an Image element the reader rejects

    for (const QString &bad : {path("damaged.xisf"), path("missing.xisf")}) {
        SCOPED_TRACE(bad.toStdString());
        FITSData data;
        ASSERT_TRUE(load(data, good));
        EXPECT_FALSE(load(data, bad));
        EXPECT_FALSE(data.pixels);
        EXPECT_FALSE(data.loadError.isEmpty());
    }
    FITSData data;
    EXPECT_FALSE(load(data, path("damaged.xisf")));
    EXPECT_TRUE(data.loadError.contains("outside the file")) << data.loadError.toStdString();
}

TEST_F(Loaders, GreyPictureRowsHaveNoPadding)
{
    QImage grey(101, 3, QImage::Format_Grayscale8);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 101; ++x)
            grey.scanLine(y)[x] = uchar(x + 80 * y);
    const QString file = path("grey.png");
    ASSERT_TRUE(grey.save(file));

    FITSData data;
    ASSERT_TRUE(load(data, file)) << data.loadError.toStdString();
    EXPECT_EQ(data.stats.sampleType, SampleType::UInt8);
    EXPECT_EQ(data.stats.channels, 1);
    EXPECT_EQ(data.stats.width, 101);
    EXPECT_EQ(data.stats.height, 3);
    EXPECT_EQ(data.stats.size, QFileInfo(file).size());
    ASSERT_EQ(data.pixelBytes, 303u);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 101; ++x)
            ASSERT_EQ(data.pixels[y * 101 + x], uchar(x + 80 * y)) << x << "," << y;
}

TEST_F(Loaders, ColourPicturesBecomeRgbPlanes)
{
    const QRgb colours[] = {qRgb(200, 30, 40), qRgb(10, 220, 60), qRgb(20, 40, 240), qRgb(250, 250, 250)};
    QImage indexed(16, 4, QImage::Format_Indexed8);
    indexed.setColorTable(QVector<QRgb>(std::begin(colours), std::end(colours)));
    QImage rgb(16, 4, QImage::Format_RGB32);
    QImage alpha(16, 4, QImage::Format_ARGB32);
    QImage mono(16, 4, QImage::Format_Mono);
    mono.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    // Four blocks of 4x4 pixels, one colour each.
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 16; ++x) {
            indexed.setPixel(x, y, uint(x / 4));
            rgb.setPixel(x, y, colours[x / 4]);
            alpha.setPixel(x, y, (colours[x / 4] & 0xffffff) | 0x80000000u);
            mono.setPixel(x, y, uint(x / 4) & 1);
        }
    }
    struct Case {
        const char *name;
        QImage image;
        int tolerance;  // JPEG is lossy
        QImage::Format decoded;
    };
    const Case cases[] = {
        {"colour.jpg", rgb, 12, QImage::Format_RGB32},     {"indexed.png", indexed, 0, QImage::Format_Indexed8},
        {"alpha.png", alpha, 0, QImage::Format_ARGB32},     {"mono.png", mono, 0, QImage::Format_Mono},
        {"grey16.png", rgb.convertToFormat(QImage::Format_Grayscale16), 1, QImage::Format_Grayscale16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = path(c.name);
        ASSERT_TRUE(c.image.save(file, nullptr, 100));
        ASSERT_EQ(QImage(file).format(), c.decoded);  // the conversion under test is really needed
        FITSData data;
        ASSERT_TRUE(load(data, file)) << data.loadError.toStdString();
        EXPECT_EQ(data.stats.channels, 3);
        ASSERT_EQ(data.pixelBytes, 3u * 64);
        for (int x : {1, 6, 9, 14}) {
            const QRgb expected = c.image.pixel(x, 2);  // colour without alpha
            const int i = 2 * 16 + x;
            EXPECT_NEAR(data.pixels[i], qRed(expected), c.tolerance) << "x " << x;
            EXPECT_NEAR(data.pixels[64 + i], qGreen(expected), c.tolerance) << "x " << x;
            EXPECT_NEAR(data.pixels[128 + i], qBlue(expected), c.tolerance) << "x " << x;
        }
    }
}

TEST_F(Loaders, PictureFailures)
{
    // A PNG whose header claims 70000 x 1 pixels: refused before decoding.
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    QByteArray ihdr("IHDR");
    for (quint32 v : {70000u, 1u})
        for (int shift = 24; shift >= 0; shift -= 8)
            ihdr.append(char((v >> shift) & 0xff));
    ihdr.append(QByteArray("\x08\x00\x00\x00\x00", 5));  // 8-bit grey
    const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(ihdr.constData()), uInt(ihdr.size())));
    png.append(QByteArray("\x00\x00\x00\x0d", 4)).append(ihdr);
    for (int shift = 24; shift >= 0; shift -= 8)
        png.append(char((crc >> shift) & 0xff));
    // The decoder reads the header up to the first data chunk.
    png.append(QByteArray("\x00\x00\x00\x02IDAT\x78\x9c\x00\x00\x00\x00", 14));

    QImage small(4, 4, QImage::Format_Grayscale8);
    small.fill(9);
    ASSERT_TRUE(small.save(path("small.png")));

    for (const QByteArray &bytes : {png, QByteArray("not a picture at all")}) {
        FITSData data;
        ASSERT_TRUE(load(data, path("small.png")));
        QFile file(path("bad.png"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        EXPECT_FALSE(load(data, path("bad.png")));
        EXPECT_FALSE(data.loadError.isEmpty());
        // The earlier picture stays: nothing is released before decoding succeeds.
        ASSERT_TRUE(data.pixels);
        EXPECT_EQ(data.pixels[0], 9);
        EXPECT_EQ(data.stats.width, 4);
    }
    FITSData data;
    data.filename = "huge.png";
    data.extension = "png";
    EXPECT_FALSE(data.loadByExtension(png));
    EXPECT_TRUE(data.loadError.contains("70000x1")) << data.loadError.toStdString();
}

TEST_F(Loaders, RawFailures)
{
    FITSData missing;
    EXPECT_FALSE(load(missing, path("missing.dng")));
    EXPECT_TRUE(missing.loadError.contains("cannot open")) << missing.loadError.toStdString();

    FITSData garbage;
    const QByteArray bytes(4096, '\x42');
    EXPECT_FALSE(garbage.readRaw(bytes));
    EXPECT_FALSE(garbage.loadError.isEmpty());
    EXPECT_FALSE(garbage.pixels);
    EXPECT_EQ(garbage.stats.size, bytes.size());

    // A file that starts like a TIFF-based RAW but holds nothing more.
    QByteArray tiff("II*\x00\x08\x00\x00\x00", 8);
    tiff.append(QByteArray(64, '\0'));
    QFile file(path("truncated.dng"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(tiff);
    file.close();
    FITSData truncated;
    EXPECT_FALSE(load(truncated, path("truncated.dng")));
    EXPECT_FALSE(truncated.loadError.isEmpty());
}

TEST_F(Loaders, XisfTriesWorldCoordinatesInEveryMode)
{
    XisfFixture fixture;
    fixture.width = 4;
    fixture.height = 4;
    fixture.sampleFormat = Image::UInt8;
    fixture.samples = QByteArray(16, '\x10');
    fixture.keywords = {{"CTYPE1", "'RA---TAN'", ""}, {"CTYPE2", "'DEC--TAN'", ""}, {"CRVAL1", "10.68", ""},
                     {"CRVAL2", "41.27", ""},      {"CRPIX1", "2", ""},           {"CRPIX2", "2", ""},
                     {"CDELT1", "-0.001", ""},     {"CDELT2", "0.001", ""}};
    const QString file = writeXisf("wcs.xisf", fixture);
    for (FITSMode mode : {Normal, Focus, Guide, Calibrate, Align, Unknown}) {
        SCOPED_TRACE(int(mode));
        FITSData data;
        data.mode = mode;
        ASSERT_TRUE(load(data, file));
        EXPECT_EQ(data.worldCoordState, 2);
        EXPECT_TRUE(data.hasWCS);
        ASSERT_NE(data.worldCoords.wcs, nullptr);
        EXPECT_EQ(data.worldCoords.wcs->lng, 0);  // a celestial system, not two linear axes
        EXPECT_DOUBLE_EQ(data.worldCoords.wcs->crval[0], 10.68);
    }
}

// A developed RAW image: three 8-bit planes of the sensor's size.
TEST_F(Loaders, RawDevelopsToThreePlanes)
{
    DngOptions options;
    options.sensorWidth = 64;
    options.sensorHeight = 42;
    ASSERT_TRUE(writeDng(path("shot.dng"), options));
    FITSData data;
    ASSERT_TRUE(load(data, path("shot.dng"))) << data.loadError.toStdString();
    EXPECT_EQ(data.stats.sampleType, SampleType::UInt8);
    EXPECT_EQ(data.stats.channels, 3);
    EXPECT_EQ(data.stats.width, 64);
    EXPECT_EQ(data.stats.height, 42);
    EXPECT_EQ(data.pixelBytes, 64u * 42u * 3u);
    EXPECT_EQ(data.stats.size, QFileInfo(path("shot.dng")).size());
    EXPECT_LE(data.stats.minimum[0], data.stats.maximum[0]);
}

// The byte stream's text readers stay inside both the caller's field and
// the buffer, whatever the bytes hold.
TEST(RawByteStream, TextReadersStayInBounds)
{
    struct LineCase {
        const char *bytes;
        int size;
        const char *line;
    } lines[] = {
        {"abc\ndef", 16, "abc\n"},
        {"abcdefgh", 4, "abc"},  // fills the field: the end mark goes in its last byte
        {"abc\n", 4, "abc"},     // the break no longer fits
        {"ab", 16, "ab"},        // the buffer ends first
    };
    for (const LineCase &c : lines) {
        SCOPED_TRACE(c.bytes);
        const QByteArray bytes(c.bytes);
        RawByteStream stream(bytes);
        char field[17];
        std::memset(field, '#', sizeof field);
        ASSERT_EQ(stream.gets(field, c.size), field);
        EXPECT_STREQ(field, c.line);
        EXPECT_EQ(field[c.size], '#');
    }
    // Past the end the position holds, as in a file, and nothing is read.
    const QByteArray four("abcd");
    RawByteStream past(four);
    EXPECT_EQ(past.seek(10, SEEK_SET), 0);
    EXPECT_EQ(past.tell(), 10);
    EXPECT_EQ(past.seek(5, SEEK_CUR), 0);
    EXPECT_EQ(past.tell(), 15);
    char byte = 0;
    EXPECT_EQ(past.read(&byte, 1, 1), 0);
    EXPECT_TRUE(past.eof());
    EXPECT_EQ(past.seek(-14, SEEK_CUR), 0);
    EXPECT_EQ(past.get_char(), 'b');

    const QByteArray empty("x");
    RawByteStream exhausted(empty);
    char field[4];
    exhausted.get_char();
    EXPECT_EQ(exhausted.gets(field, 4), nullptr);

    // Decimal points are read as such under any locale (scripts/test.sh
    // runs this under a comma-decimal one).
    struct NumberCase {
        const char *bytes;
        bool real;  // read with "%f" rather than "%d"
        double value;
        INT64 next;
    } numbers[] = {
        {"1234", false, 1234, 4},  // digits up to the buffer's end
        {"12 34", false, 12, 2},
        {"7", false, 7, 1},
        {"2.5 1", true, 2.5, 3},
    };
    for (const NumberCase &c : numbers) {
        SCOPED_TRACE(c.bytes);
        const QByteArray bytes(c.bytes);
        RawByteStream stream(bytes);
        int whole = 0;
        float real = 0;
        EXPECT_EQ(c.real ? stream.scanf_one("%f", &real) : stream.scanf_one("%d", &whole), 1);
        EXPECT_EQ(c.real ? double(real) : double(whole), c.value);
        EXPECT_EQ(stream.tell(), c.next);
    }
}
