#include "image/fits_data.h"
#include "image/fits_structure.h"
#include "image/header_cards.h"
#include "tests/fixtures.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

QByteArray cardText(const QStringList &cards)
{
    QByteArray text;
    for (const QString &card : cards)
        text += card.toLatin1().leftJustified(80, ' ', true);
    return text;
}

// A primary header written byte for byte, for headers CFITSIO would not
// write itself.
bool writeRawFits(const QString &path, const QStringList &cards)
{
    QByteArray block = cardText(cards + QStringList{QStringLiteral("END")});
    block = block.leftJustified(int((block.size() + 2879) / 2880 * 2880), ' ');
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(block) == block.size();
}

class FitsLoader : public ::testing::Test
{
protected:
    QString path(const QString &name) const { return dir.filePath(name); }

    bool load(FITSData &data, const QString &file)
    {
        return data.startLoad(file).result();
    }

    QTemporaryDir dir;
};

template <typename T>
std::vector<T> samplesOf(const FITSData &data)
{
    std::vector<T> values(data.pixelBytes / sizeof(T));
    if (data.pixels)
        std::memcpy(values.data(), data.pixels.get(), values.size() * sizeof(T));
    return values;
}

} // namespace

TEST(HeaderCards, ParsesCardsAsTheStandardWritesThem)
{
    struct Case {
        const char *card;
        const char *key;
        QVariant value;
        const char *comment;
    };
    const Case cases[] = {
        {"OBJECT  = 'M31/NGC224'         / galaxy", "OBJECT", QString("M31/NGC224"), "galaxy"},
        {"DATE-OBS= '11/03/76'", "DATE-OBS", QString("11/03/76"), ""},
        {"AUTHOR  = 'O''Brien = x / y  '  / it's   odd", "AUTHOR", QString("O'Brien = x / y"), "it's odd"},
        {"LEADING = '  two blanks'", "LEADING", QString("  two blanks"), ""},
        {"EXPTIME =                   30 / [s]", "EXPTIME", 30, "[s]"},
        {"EXPTIME =                 30.5", "EXPTIME", 30.5, ""},
        {"NUMBER  = '42'", "NUMBER", 42, ""},
        {"BIG     =           3000000000", "BIG", 3e9, ""},
        {"DEXP    =               1.5D3", "DEXP", 1500.0, ""},
        {"SIMPLE  =                    T / conforms", "SIMPLE", QString("T"), "conforms"},
        {"FLAG    =                    F", "FLAG", QString("F"), ""},
        {"EXPTIME=30", "EXPTIME", 30, ""},
        {"KEY = 'short'", "KEY", QString("short"), ""},
        {"HIERARCH ESO DET CHIP TEMP = -120.5 / chip", "ESO DET CHIP TEMP", -120.5, "chip"},
        {"UNDEF   =                      / no value", "UNDEF", QString(""), "no value"},
        {"COMMENT a = b / c   d", "COMMENT", QVariant(), "a = b / c d"},
        {"HISTORY   x=1 / y", "HISTORY", QVariant(), "x=1 / y"},
        {"          blank keyword = text", "", QVariant(), "blank keyword = text"},
        {"NOTE    this card = no value", "NOTE", QVariant(), "this card = no value"},
        {"CONTINUE  'orphan'", "CONTINUE", QVariant(), "'orphan'"},
        {"QUOTE   = ''''  / one quote", "QUOTE", QString("'"), "one quote"},
        {"EMPTY   = ''", "EMPTY", QString(""), ""},
        {"OPEN    = 'never closed", "OPEN", QString("never closed"), ""},
        // A doubled quote in columns 79 and 80 leaves the string unclosed.
        {"EDGE    = 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx''", "EDGE",
         QString("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx''"), ""},
        {"CPLX    = (1.5, -2) / z", "CPLX", QString("(1.5, -2)"), "z"},
        {"CPLX    = (1.5, -2", "CPLX", QVariant(), "= (1.5, -2"},
        {"HIERARCH NO VALUE HERE", "HIERARCH", QVariant(), "NO VALUE HERE"},
    };
    for (const Case &c : cases) {
        const QByteArray text = cardText({QString::fromLatin1(c.card)});
        const QList<HeaderRecord> records = parseHeaderCards(text.constData(), 1);
        ASSERT_EQ(records.size(), 1) << c.card;
        EXPECT_EQ(records[0].key, QString::fromLatin1(c.key)) << c.card;
        EXPECT_EQ(records[0].value.isValid(), c.value.isValid()) << c.card;
        EXPECT_EQ(records[0].value.type(), c.value.type()) << c.card;
        EXPECT_EQ(records[0].value, c.value) << c.card;
        EXPECT_EQ(records[0].comment, QString::fromLatin1(c.comment)) << c.card;
    }
}

TEST(HeaderCards, JoinsContinuedLongStrings)
{
    const QByteArray text = cardText({
        "LONGSTR = 'This is a long&'  / first",
        "CONTINUE  ' string value&'",
        "CONTINUE  ' ends here'  / last",
        "CONTINUE  'not part of it'",
        "EXPTIME =                    5",
    });
    const QList<HeaderRecord> records = parseHeaderCards(text.constData(), 5);
    ASSERT_EQ(records.size(), 3);
    EXPECT_EQ(records[0].key, "LONGSTR");
    EXPECT_EQ(records[0].value, QString("This is a long string value ends here"));
    EXPECT_EQ(records[0].comment, "first last");
    EXPECT_EQ(records[1].key, "CONTINUE");
    EXPECT_FALSE(records[1].value.isValid());
    EXPECT_EQ(records[2].value, 5);
}

TEST(HeaderCards, ReadsNoFurtherThanTheText)
{
    const QByteArray text = cardText({"A       =                    1"}) + "B       =  2";
    const QList<HeaderRecord> records = parseHeaderCards(text.constData(), 7);
    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records[1].key, "B");
    EXPECT_EQ(records[1].value, 2);
    EXPECT_TRUE(parseHeaderCards(nullptr, 3).isEmpty());
}

// Every BITPIX with its BZERO variants; signed data that does not fit the
// unsigned sample type comes back as floats (doubles for 64-bit).
TEST_F(FitsLoader, MapsEveryBitpix)
{
    const uint8_t bytes[] = {0, 7, 255, 1};
    const int16_t shorts[] = {-32768, 0, 32767, -300};
    const int32_t longs[] = {INT32_MIN, 0, INT32_MAX, 5};
    const int64_t longLongs[] = {INT64_MIN, -1, INT64_MAX, 3};
    const float floats[] = {-1.5f, 0.25f, 1e30f, 3.0f};
    const double doubles[] = {-1.5, 0.25, 1e300, 3.0};
    const QString offset16 = "BZERO   =                32768", offset32 = "BZERO   =           2147483648";
    const double two63 = 9223372036854775808.0;
    struct Case {
        int bitpix;
        const void *data;
        int dataType;
        QStringList cards;
        SampleType sampleType;
        int bitpixAfter;
        std::vector<double> expected;
    } const cases[] = {
        {8, bytes, TBYTE, {}, SampleType::UInt8, 8, {0, 7, 255, 1}},
        {8, bytes, TBYTE, {"BZERO   =                 -128"}, SampleType::Float, -32, {-128, -121, 127, -127}},
        {16, shorts, TSHORT, {offset16}, SampleType::UInt16, 20, {0, 32768, 65535, 32468}},
        {16, shorts, TSHORT, {}, SampleType::Float, -32, {-32768, 0, 32767, -300}},
        {32, longs, TINT, {offset32}, SampleType::UInt32, 40, {0, 2147483648.0, 4294967295.0, 2147483653.0}},
        {32, longs, TINT, {}, SampleType::Float, -32, {float(INT32_MIN), 0, float(INT32_MAX), 5}},
        {64, longLongs, TLONGLONG, {}, SampleType::Int64, 64, {double(INT64_MIN), -1, double(INT64_MAX), 3}},
        {64, longLongs, TLONGLONG, {"BZERO   =  9223372036854775808"}, SampleType::Double, -64,
         {0, two63, 2 * two63, two63}},
        {-32, floats, TFLOAT, {}, SampleType::Float, -32, {-1.5, 0.25, double(1e30f), 3}},
        {-64, doubles, TDOUBLE, {}, SampleType::Double, -64, {-1.5, 0.25, 1e300, 3}},
    };
    for (const Case &c : cases) {
        const QString file = path("bitpix.fits");
        const std::string trace = QString("%1 %2").arg(c.bitpix).arg(c.cards.join(' ')).toStdString();
        ASSERT_TRUE(writeFits(file, {c.bitpix, {2, 2}, c.data, c.dataType, c.cards}));
        FITSData data;
        ASSERT_TRUE(load(data, file)) << trace << " " << data.loadError.toStdString();
        EXPECT_EQ(data.stats.sampleType, c.sampleType) << trace;
        EXPECT_EQ(data.bitpix, c.bitpixAfter) << trace;
        EXPECT_EQ(data.stats.bytesPerSample, bitsPerSampleOf(c.sampleType) / 8) << trace;
        EXPECT_EQ(data.pixelBytes, 4u * data.stats.bytesPerSample) << trace;
        EXPECT_EQ(data.stats.size, QFileInfo(file).size());
        std::vector<double> got;
        withSampleType(c.sampleType, [&](auto sample) {
            for (auto v : samplesOf<decltype(sample)>(data))
                got.push_back(double(v));
        });
        EXPECT_EQ(got, c.expected) << trace;
        EXPECT_EQ(data.stats.minimum[0], *std::min_element(c.expected.begin(), c.expected.end())) << trace;
    }
}

TEST_F(FitsLoader, CubesKeepThreePlanesOrTheFirstPlane)
{
    std::vector<uint16_t> samples(6 * 4);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint16_t(100 * (i / 6) + i % 6);
    struct Case {
        std::vector<long> axes;
        int channels;
    };
    const Case cases[] = {
        {{3, 2, 1}, 1}, {{3, 2, 2}, 1}, {{3, 2, 3}, 3}, {{3, 2, 4}, 1}, {{3, 2, 3, 1}, 3}, {{3, 2, 1, 4}, 1},
    };
    for (const Case &c : cases) {
        const QString file = path("cube.fits");
        ASSERT_TRUE(writeFits(file, {16, c.axes, samples.data(), TUSHORT, {}}));
        FITSData data;
        ASSERT_TRUE(load(data, file)) << c.axes[2] << " " << data.loadError.toStdString();
        EXPECT_EQ(data.stats.dimensions, int(c.axes.size()));
        EXPECT_EQ(data.stats.channels, c.channels) << c.axes[2];
        EXPECT_EQ(data.pixelBytes, uint32_t(6 * 2 * c.channels));
        const std::vector<uint16_t> got = samplesOf<uint16_t>(data);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), samples.begin())) << c.axes[2];
        EXPECT_EQ(data.stats.maximum[c.channels - 1], 100 * (c.channels - 1) + 5);
    }
}

// Sizes are checked before anything is allocated; each failure names its
// reason. Files that should hold their data are made sparse, at no cost.
TEST_F(FitsLoader, RejectsImagesBeyondTheModelBeforeAllocating)
{
    struct Case {
        QStringList axes;
        qint64 dataBytes;
        const char *reason;
    } const cases[] = {
        {{"65536", "1"}, 65536 * 2, "axis 1 longer than 65535"},
        {{"1", "70000"}, 0, "axis 2 longer than 65535"},
        {{"65535", "65535"}, 2982526LL * 2880, "8589672450 sample bytes exceed the limit of 4294967295"},
        {{"40000", "40000"}, 0, "header declares 3200000000 data bytes, the file holds 0"},
        {{"100", "100"}, 2880 * 6, "header declares 20000 data bytes, the file holds 17280"},
        // CFITSIO cannot read a last block cut short.
        {{"100", "100"}, 20000, "header declares 20000 data bytes, the file holds 17280"},
        {{"100", "100", "1000"}, 2880 * 7, "header declares 20000000 data bytes, the file holds 20160"},
        {{"0", "5"}, 0, "axis 1 has length 0"},
        {{"2", "5", "0"}, 0, "axis 3 has length 0"},
        {{"10"}, 2880, "not an image (NAXIS 1)"},
    };
    for (const Case &c : cases) {
        QStringList cards = {"SIMPLE  =                    T", "BITPIX  =                   16",
                             QString("NAXIS   = %1").arg(c.axes.size(), 20)};
        for (int i = 0; i < c.axes.size(); ++i)
            cards << QString("NAXIS%1  = %2").arg(i + 1).arg(c.axes[i], 20);
        const QString file = path("limits.fits");
        ASSERT_TRUE(writeRawFits(file, cards));
        ASSERT_TRUE(QFile(file).resize(2880 + c.dataBytes));
        FITSData data;
        EXPECT_FALSE(load(data, file)) << c.reason;
        EXPECT_EQ(data.loadError, QString::fromLatin1(c.reason));
        EXPECT_FALSE(data.pixels) << c.reason;
        EXPECT_FALSE(data.fitsHandle);
    }

    FITSData missing;
    EXPECT_FALSE(load(missing, path("missing.fits")));
    EXPECT_EQ(missing.loadError, "could not open the named file (CFITSIO status 104)");
}

TEST_F(FitsLoader, ReadsHeaderRecordsAndObservationTime)
{
    const uint16_t samples[4] = {1, 2, 3, 4};
    const QString file = path("header.fits");
    QVariant value;
    ASSERT_TRUE(writeFits(file, {16, {2, 2}, samples, TUSHORT,
                                 {"BZERO   =                32768", "DATE-OBS= '2021-03-04T05:06:07' / start",
                                  "OBJECT  = 'M31/NGC224'         / galaxy", "HISTORY   reduced with a=b / c"}}));
    // Long strings and HIERARCH keywords as CFITSIO itself writes them.
    const QByteArray longText = QByteArray("It's a / long = value ").repeated(8);
    {
        fitsfile *f = nullptr;
        int status = 0;
        const QByteArray name = QFile::encodeName(file);
        fits_open_diskfile(&f, name.constData(), READWRITE, &status);
        fits_write_key_longstr(f, "LONGSTR", longText.constData(), "continued", &status);
        double altitude = 45.25;
        fits_write_key(f, TDOUBLE, "HIERARCH ESO TEL ALT", &altitude, "degrees", &status);
        fits_close_file(f, &status);
        ASSERT_EQ(status, 0);
    }
    FITSData data;
    ASSERT_TRUE(load(data, file));
    EXPECT_TRUE(data.findRecordValue("LONGSTR", value));
    EXPECT_EQ(value, QString::fromLatin1(longText).trimmed());
    EXPECT_TRUE(data.findRecordValue("ESO TEL ALT", value));
    EXPECT_EQ(value, 45.25);
    EXPECT_EQ(data.observationTime, QDateTime(QDate(2021, 3, 4), QTime(5, 6, 7)));
    EXPECT_TRUE(data.findRecordValue("OBJECT", value));
    EXPECT_EQ(value, QString("M31/NGC224"));
    EXPECT_TRUE(data.findRecordValue("NAXIS1", value));
    EXPECT_EQ(value, 2);
    EXPECT_TRUE(data.findRecordValue("SIMPLE", value));
    EXPECT_EQ(value, QString("T"));
    EXPECT_EQ(data.headerRecords.first().key, "SIMPLE");
    const auto history = std::find_if(data.headerRecords.begin(), data.headerRecords.end(),
                                      [](const HeaderRecord &record) { return record.key == "HISTORY"; });
    ASSERT_NE(history, data.headerRecords.end());
    EXPECT_FALSE(history->value.isValid());
    EXPECT_EQ(history->comment, "reduced with a=b / c");
    EXPECT_EQ(data.headerRecords.last().key, "END");
    EXPECT_FALSE(data.headerRecords.last().value.isValid());

    const QString other = path("date.fits");
    ASSERT_TRUE(writeFits(other, {16, {2, 2}, samples, TUSHORT, {"DATE-OBS= '11/03/76'"}}));
    FITSData old;
    ASSERT_TRUE(load(old, other));
    EXPECT_FALSE(old.observationTime.isValid());
    EXPECT_TRUE(old.findRecordValue("DATE-OBS", value));
    EXPECT_EQ(value, QString("11/03/76"));
}

TEST_F(FitsLoader, DetectsBayerData)
{
    const std::vector<uint16_t> samples(4 * 4, 7);
    const std::vector<float> floats(4 * 4, 7);
    struct Case {
        QStringList cards;
        int bitpix;
        long height;
        bool hasDebayer;
        int pattern;
        int offsetX;
        int offsetY;
    };
    const Case cases[] = {
        {{"BAYERPAT= 'RGGB'"}, 16, 4, true, 512, 0, 0},
        {{"BAYERPAT= 'RGGB    '", "XBAYROFF=                    1"}, 16, 4, true, 514, 0, 0},
        {{"BAYERPAT= 'GBRG'", "XBAYROFF=                    1"}, 8, 4, true, 515, 0, 0},
        {{"BAYERPAT= 'RGGB'", "XBAYROFF=                    2"}, 16, 4, false, 512, 2, 0},
        {{"BAYERPAT= 'RGGB'", "XBAYROFF=                    0", "YBAYROFF=                    1"}, 16, 4, true, 512, 0, 1},
        {{"BAYERPAT= 'RGGB'", "XBAYROFF=                    0", "YBAYROFF=                    2"}, 16, 4, false, 512, 0, 2},
        // An offset CFITSIO cannot read as an integer is no offset, and
        // stops the reading of the other, however long it is.
        {{"BAYERPAT= 'RGGB'", "XBAYROFF= 'one'", "YBAYROFF=                    1"}, 16, 4, true, 512, 0, 0},
        {{"BAYERPAT= 'RGGB'", "XBAYROFF= '" + QString(40, 'g') + "'", "YBAYROFF=                    1"},
         16, 4, true, 512, 0, 0},
        // Without XBAYROFF the offsets are not read at all.
        {{"BAYERPAT= 'RGGB'", "YBAYROFF=                    5"}, 16, 4, true, 512, 0, 0},
        {{"BAYERPAT= 'RGGB'", "ROWORDER= 'BOTTOM-UP'"}, 16, 4, true, 513, 0, 0},
        {{"BAYERPAT= 'GRBG'", "ROWORDER= 'BOTTOM-UP'"}, 16, 4, true, 515, 0, 0},
        {{"BAYERPAT= 'RGGB'", "ROWORDER= 'BOTTOM-UP'"}, 16, 3, true, 512, 0, 0},
        {{"BAYERPAT= 'BGGR'", "ROWORDER= 'TOP-DOWN'"}, 16, 4, true, 515, 0, 0},
        {{"BAYERPAT= 'rggb'"}, 16, 4, false, 512, 0, 0},
        {{"BAYERPAT= 'RGGB'"}, -32, 4, false, 512, 0, 0},
        {{}, 16, 4, false, 512, 0, 0},
    };
    for (const Case &c : cases) {
        const QString file = path("bayer.fits");
        const bool isFloat = c.bitpix == -32;
        std::vector<uint8_t> bytes(16, 7);
        const void *pixels = isFloat ? static_cast<const void *>(floats.data())
                             : c.bitpix == 8 ? static_cast<const void *>(bytes.data())
                                             : static_cast<const void *>(samples.data());
        const int type = isFloat ? TFLOAT : c.bitpix == 8 ? TBYTE : TUSHORT;
        ASSERT_TRUE(writeFits(file, {c.bitpix, {4, c.height}, pixels, type, c.cards}));
        FITSData data;
        ASSERT_TRUE(load(data, file)) << c.cards.join(' ').toStdString();
        EXPECT_EQ(data.hasDebayer, c.hasDebayer) << c.cards.join(' ').toStdString();
        EXPECT_EQ(data.bayer.pattern, c.pattern) << c.cards.join(' ').toStdString();
        EXPECT_EQ(data.bayer.offsetX, c.offsetX) << c.cards.join(' ').toStdString();
        EXPECT_EQ(data.bayer.offsetY, c.offsetY) << c.cards.join(' ').toStdString();
    }
}

TEST_F(FitsLoader, BayerDataFromTmpMovesToTheScratchFile)
{
    const std::vector<uint16_t> samples(16, 9);
    QTemporaryDir tmp(QStringLiteral("/tmp/skyimg-loader-XXXXXX"));
    const QString file = tmp.filePath("bayer.fits");
    ASSERT_TRUE(writeFits(file, {16, {4, 4}, samples.data(), TUSHORT, {"BAYERPAT= 'RGGB'"}}));
    FITSData data;
    ASSERT_TRUE(load(data, file));
    EXPECT_TRUE(data.inTempDir);
    EXPECT_NE(data.filename, file);
    EXPECT_EQ(data.filename, data.scratchFile.fileName());
    EXPECT_EQ(QFileInfo(data.filename).size(), 0);
}

TEST_F(FitsLoader, LoadsFromBytesAsFromThePath)
{
    std::vector<uint16_t> samples(5 * 3);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint16_t(i * 1000);
    const QString file = path("bytes.fits");
    ASSERT_TRUE(writeFits(file, {16, {5, 3}, samples.data(), TUSHORT, {}}));
    QFile source(file);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    QByteArray bytes = source.readAll();

    FITSData data;
    data.resetForLoad(QStringLiteral("/data/in-memory.fits"));
    data.extension = QStringLiteral("fits");
    ASSERT_TRUE(data.loadByExtension(bytes));
    EXPECT_EQ(data.stats.size, QFileInfo(file).size());
    EXPECT_EQ(samplesOf<uint16_t>(data), samples);
    QVariant value;
    ASSERT_TRUE(data.findRecordValue("NAXIS2", value));
    EXPECT_EQ(value, 3);
    EXPECT_EQ(data.stats.maximum[0], 14000);

    FITSData damaged;
    damaged.resetForLoad(QStringLiteral("/data/damaged.fits"));
    damaged.extension = QStringLiteral("fits");
    EXPECT_FALSE(damaged.loadByExtension(QByteArray(100, 'x')));
    EXPECT_FALSE(damaged.loadError.isEmpty());
}

// An image behind an empty primary array loads through the unpacked copy
// in memory; without unpacking the load has to fail cleanly.
TEST_F(FitsLoader, ImageBehindAnEmptyPrimary)
{
    const std::vector<uint16_t> samples(6 * 4, 321);
    const QString file = path("extension.fits");
    ASSERT_TRUE(writeFits(file, {16, {}, nullptr, TUSHORT, {}}));
    ASSERT_TRUE(appendFitsImage(file, {16, {3}, samples.data(), TUSHORT, {}}));
    ASSERT_TRUE(appendFitsImage(file, {16, {6, 4}, samples.data(), TUSHORT, {"EXTNAME = 'SCI'"}}));
    FITSData data;
    ASSERT_TRUE(load(data, file)) << data.loadError.toStdString();
    EXPECT_EQ(data.stats.width, 6);
    EXPECT_EQ(data.stats.height, 4);
    EXPECT_EQ(data.stats.maximum[0], 321);
    QVariant value;
    ASSERT_TRUE(data.findRecordValue("EXTNAME", value));
    EXPECT_EQ(value, QString("SCI"));

    const QString noImage = path("noimage.fits");
    ASSERT_TRUE(writeFits(noImage, {16, {}, nullptr, TUSHORT, {}}));
    ASSERT_TRUE(appendFitsImage(noImage, {16, {3}, samples.data(), TUSHORT, {}}));
    FITSData none;
    EXPECT_FALSE(load(none, noImage));
}

// The metadata record loads headers only; it must see exactly what a full
// load sees, for files that load and for files that do not.
TEST_F(FitsLoader, HeaderOnlyLoadSeesWhatAFullLoadSees)
{
    const std::vector<uint16_t> u16(8 * 6, 1234);
    const std::vector<int16_t> negative(8 * 6, -5);
    const std::vector<float> f32(8 * 6 * 3, 0.5f);
    const QStringList cards = {"BZERO   =                32768", "OBJECT  = 'M31/NGC 224' / galaxy",
                               "DATE-OBS= '2021-03-04T05:06:07'", "BAYERPAT= 'RGGB'"};
    ASSERT_TRUE(writeFits(path("u16.fits"), {16, {8, 6}, u16.data(), TUSHORT, cards}));
    ASSERT_TRUE(writeFits(path("signed.fits"), {16, {8, 6}, negative.data(), TSHORT, {"OBJECT  = 'dark'"}}));
    ASSERT_TRUE(writeFits(path("cube.fits"), {-32, {8, 6, 3}, f32.data(), TFLOAT, {"EXPTIME =                 30.5"}}));
    ASSERT_TRUE(writeFits(path("empty.fits"), {16, {}, nullptr, TUSHORT, {}}));
    ASSERT_TRUE(appendFitsImage(path("empty.fits"), {16, {8, 6}, u16.data(), TUSHORT, {"EXTNAME = 'SCI'"}}));
    ASSERT_TRUE(writeFits(path("cut.fits"), {16, {8, 6}, u16.data(), TUSHORT, cards}));
    ASSERT_TRUE(QFile(path("cut.fits")).resize(2880 * 2 - 100));
    ASSERT_TRUE(QFile::copy(path("u16.fits"), path("u16.fits.fz")));

    for (const char *name : {"u16.fits", "signed.fits", "cube.fits", "empty.fits", "cut.fits", "u16.fits.fz"}) {
        FITSData full, header;
        header.headerOnly = true;
        const bool fullLoaded = load(full, path(name));
        EXPECT_EQ(load(header, path(name)), fullLoaded) << name;
        EXPECT_EQ(header.loadError, full.loadError) << name;
        EXPECT_EQ(header.stats.size, full.stats.size) << name;
        EXPECT_EQ(header.observationTime, full.observationTime) << name;
        ASSERT_EQ(header.headerRecords.size(), full.headerRecords.size()) << name;
        for (int i = 0; i < full.headerRecords.size(); ++i) {
            EXPECT_EQ(header.headerRecords[i].key, full.headerRecords[i].key) << name;
            EXPECT_EQ(header.headerRecords[i].value, full.headerRecords[i].value) << name;
            EXPECT_EQ(header.headerRecords[i].comment, full.headerRecords[i].comment) << name;
        }
        EXPECT_FALSE(header.pixels) << name;
    }
}

TEST(FitsStructure, RefusesIntegerValuesTooLongToConvert)
{
    const QString g28(28, 'g'), g29(29, 'g');
    struct Case {
        QString card;
        const char *violation;
    };
    const Case cases[] = {
        {"BLANK   = '" + g28.left(26) + "'", ""},
        {"BLANK   = '" + g28.left(27) + "'", "BLANK has a value of 29 characters"},
        {"BLANK   = " + g28 + " / a comment after the value", ""},
        {"BLANK   = " + g29, "BLANK has a value of 29 characters"},
        // CFITSIO keeps both quotes of an escaped one.
        {"BLANK   = '" + QString("a''").repeated(9) + "'", "BLANK has a value of 29 characters"},
        {"BLANK   = '" + QString(70, 'g'), "BLANK has a value of 70 characters"},  // unclosed, cut
        {"BLANK      = " + g29, "BLANK has a value of 29 characters"},  // the first '=' stands
        {"BLANK   = (1.0000000000000, 2.000000000000000)", "BLANK has a value of 36 characters"},
        {"TBCOL12 = '" + g29 + "'", "TBCOL12 has a value of 31 characters"},
        {"ZVAL2   = '" + g29 + "'", "ZVAL2 has a value of 31 characters"},
        // Not read as integers.
        {"ZVAL3   = '" + g29 + "'", ""},
        {"NAXISA  = '" + g29 + "'", ""},
        {"OBJECT  = '" + QString(60, 'g') + "'", ""},
    };
    for (const Case &c : cases) {
        const QStringList cards = {"SIMPLE  =                    T", "BITPIX  =                    8",
                                   "NAXIS   =                    0", c.card, "END"};
        const QByteArray header = cardText(cards).leftJustified(2880, ' ');
        const std::string expected = *c.violation ? std::string("HDU 1: ") + c.violation + ", too long for an integer" : "";
        EXPECT_EQ(fitsStructureViolation(header, QString()).toStdString(), expected) << c.card.toStdString();
    }
}

// The walk must read each card as CFITSIO does, or it checks other cards
// than CFITSIO reads, or looks for the next unit elsewhere.
TEST(FitsStructure, ReadsCardsAsCfitsioDoes)
{
    const auto unit = [](const QStringList &cards) { return cardText(cards + QStringList{"END"}).leftJustified(2880, ' '); };
    const QByteArray primary = unit({"SIMPLE  =                    T", "BITPIX  =                    8",
                                     "NAXIS   =                    0", "EXTEND  =                    T"});
    const auto table = [&](const QString &first, const QStringList &rest) {
        return primary +
               unit(QStringList{first, "BITPIX  =                    8", "NAXIS   =                    2",
                                "NAXIS1  =                    8", "NAXIS2  =                    1",
                                "PCOUNT  =                    0"} +
                    rest) +
               QByteArray(2880, '\0');
    };
    const QString gcount = "GCOUNT  =                    1", tfields = "TFIELDS =                    0";
    struct Case {
        const char *what;
        QByteArray file;
        const char *violation;
    };
    const Case cases[] = {
        {"table", table("XTENSION= 'BINTABLE'", {gcount, tfields}), ""},
        {"value indicator after column 9", table("XTENSION ='BINTABLE'", {"GCOUNT  = junk", tfields}),
         "HDU 2: card 7 of a table header is not GCOUNT = count"},
        {"unquoted type", table("XTENSION= BINTABLE / bare", {"GCOUNT  = junk", tfields}),
         "HDU 2: card 7 of a table header is not GCOUNT = count"},
        {"type within blanks", table("XTENSION= '  BINTABLE  '", {"GCOUNT  = junk", tfields}),
         "HDU 2: card 7 of a table header is not GCOUNT = count"},
        {"type never closed", table("XTENSION= 'BINTABLE", {"GCOUNT  = junk", tfields}),
         "HDU 2: card 7 of a table header is not GCOUNT = count"},
        {"keyword ended by '='", table("XTENSION= 'BINTABLE'", {gcount, tfields, "ZIMAGE=  T"}),
         "HDU 2: card 9 has a keyword FITS does not allow"},
        {"blank inside a keyword", table("XTENSION= 'BINTABLE'", {gcount, tfields, "ZIMAGE  = T", "ZTILE 1 = 32"}),
         "HDU 2: card 10 has a keyword FITS does not allow"},
        {"ZIMAGE false, then true", table("XTENSION= 'BINTABLE'", {gcount, tfields, "ZIMAGE  = F", "ZIMAGE  = T"}),
         "HDU 2: ZNAXIS is missing"},
        {"axis twice", unit({"SIMPLE  =                    T", "BITPIX  =                    8",
                             "NAXIS   =                    1", "NAXIS1  =                    1",
                             "NAXIS1  =                10000"}) + QByteArray(2880, '\0'),
         "HDU 1: NAXIS1 appears twice"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(fitsStructureViolation(c.file, QString()).toStdString(), c.violation) << c.what;
}
