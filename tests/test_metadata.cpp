#include "app/driver.h"
#include "app/metadata.h"
#include "image/fits_data.h"
#include "tests/dng_fixture.h"
#include "tests/fixtures.h"
#include "tests/xisf_writer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fitsio.h>

namespace {

// Keys as they appear in the serialised text, in that order.
QStringList keysInOrder(const QByteArray &record)
{
    QStringList keys;
    const QJsonObject object = QJsonDocument::fromJson(record).object();
    QRegularExpression keyPattern(QStringLiteral("[{,]\"([^\"]+)\":"));
    auto it = keyPattern.globalMatch(QString::fromUtf8(record));
    while (it.hasNext()) {
        const QString key = it.next().captured(1);
        if (object.contains(key))
            keys << key;
    }
    return keys;
}

QJsonObject parsed(const QByteArray &record)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(record, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << record.constData();
    return doc.object();
}

bool isIsoSecond(const QString &text)
{
    return QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$")).match(text).hasMatch();
}

void expectFreshUuid(const QJsonObject &record)
{
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$"))
                    .match(record.value("uuid").toString())
                    .hasMatch())
        << record.value("uuid").toString().toStdString();
}

void expectRecentDate(const QString &text)
{
    ASSERT_TRUE(isIsoSecond(text)) << text.toStdString();
    const QDateTime date = QDateTime::fromString(text, Qt::ISODate);
    EXPECT_LE(qAbs(date.secsTo(QDateTime::currentDateTime())), 120) << text.toStdString();
}

class Metadata : public ::testing::Test
{
protected:
    QString path(const QString &name) const { return dir.filePath(name); }
    QString writePicture(const QString &name, int width, int height)
    {
        QImage picture(width, height, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        const QString file = path(name);
        QDir().mkpath(QFileInfo(file).path());
        EXPECT_TRUE(picture.save(file, "PNG"));
        return file;
    }
    QString writeSmallFits(const QString &name, const QStringList &cards = {})
    {
        const std::vector<uint16_t> samples(12 * 8, 1000);
        FitsFixture fixture;
        fixture.bitpix = 16;
        fixture.axes = {12, 8};
        fixture.data = samples.data();
        fixture.dataType = TUSHORT;
        fixture.cards = cards;
        const QString file = path(name);
        QDir().mkpath(QFileInfo(file).path());
        EXPECT_TRUE(writeFits(file, fixture));
        return file;
    }

    QTemporaryDir dir;
};

TEST_F(Metadata, PictureRecordHasItsFifteenKeysInOrder)
{
    const QString file = writePicture("Flat/sky 1.png", 37, 23);
    const QByteArray bytes = imageMetadata(file);
    EXPECT_FALSE(bytes.contains('\n'));
    EXPECT_EQ(keysInOrder(bytes),
              QStringList({"Content-Disposition", "bitpix", "bscale", "bzero", "date-obs", "exptime", "filename",
                           "filesize", "frame", "naxis", "naxis1", "naxis2", "uuid", "xbinning", "ybinning"}));
    const QJsonObject record = parsed(bytes);
    EXPECT_EQ(record.value("naxis1").toInt(), 37);
    EXPECT_EQ(record.value("naxis2").toInt(), 23);
    EXPECT_EQ(record.value("bitpix").toInt(), 16);
    EXPECT_EQ(record.value("bzero").toInt(), 32768);
    EXPECT_EQ(record.value("frame").toString(), "Flat");
    EXPECT_EQ(record.value("filename").toString(), "sky 1.png");
    EXPECT_EQ(record.value("filesize").toDouble(), double(QFileInfo(file).size()));
    EXPECT_EQ(record.value("Content-Disposition").toString(),
              "attachment;filename=\"sky 1.png\";filename*=UTF-8''sky%201.png");
    expectRecentDate(record.value("date-obs").toString());
    expectFreshUuid(record);
}

TEST_F(Metadata, UndecodablePictureGivesNoRecordButAReason)
{
    const QString file = path("broken.png");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("\x89PNG\r\n\x1a\n but nothing else");
    f.close();
    QString error;
    EXPECT_TRUE(imageMetadata(file, &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(Metadata, TwoRunsDifferOnlyInTheUuid)
{
    const QString file = writePicture("a.png", 4, 4);
    QJsonObject first = parsed(imageMetadata(file));
    QJsonObject second = parsed(imageMetadata(file));
    EXPECT_NE(first.take("uuid"), second.take("uuid"));
    EXPECT_EQ(first, second);
}

TEST_F(Metadata, RawRecordWithExposureHasSixteenKeysIsoSecond)
{
    const QString file = path("Dark/m31.dng");
    QDir().mkpath(path("Dark"));
    DngOptions fixture;
    fixture.sensorWidth = 300;
    fixture.sensorHeight = 200;
    ASSERT_TRUE(writeDng(file, fixture));
    const QByteArray bytes = rawMetadata(file);
    EXPECT_EQ(keysInOrder(bytes),
              QStringList({"Content-Disposition", "ISO", "bitpix", "bscale", "bzero", "date-obs", "exptime",
                           "filename", "filesize", "frame", "naxis", "naxis1", "naxis2", "uuid", "xbinning",
                           "ybinning"}));
    // LibRaw's single-precision values print with the digits of the widened double.
    EXPECT_TRUE(bytes.contains("\"exptime\":0.004000000189989805")) << bytes.constData();
    EXPECT_TRUE(bytes.contains("\"ISO\":400")) << bytes.constData();
    const QJsonObject record = parsed(bytes);
    EXPECT_EQ(record.value("naxis1").toInt(), 300);
    EXPECT_EQ(record.value("naxis2").toInt(), 200);
    EXPECT_EQ(record.value("date-obs").toString(), "2024-03-01T21:05:09");  // the camera's clock, TZ=UTC
    EXPECT_EQ(record.value("frame").toString(), "Dark");
    EXPECT_EQ(record.value("filesize").toDouble(), double(QFileInfo(file).size()));
    EXPECT_EQ(record.value("Content-Disposition").toString(), "attachment;filename=m31.dng");
    expectFreshUuid(record);
}

// What the camera did not record is left out, or for the date taken from
// the file, as for a picture: LibRaw's timestamp 0 means "unknown".
TEST_F(Metadata, RawRecordWithoutCameraValues)
{
    struct Case {
        bool withExposure;
        QByteArray dateTime;
        int keys;
        bool cameraDate;
    } const cases[] = {
        {false, "2024:03:01 21:05:09", 14, true},
        {true, "", 16, false},
        {true, "0000:00:00 00:00:00", 16, false},  // a clock never set
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dateTime.constData());
        DngOptions fixture;
        fixture.withExposure = c.withExposure;
        fixture.dateTime = c.dateTime;
        const QString file = path("plain.dng");
        ASSERT_TRUE(writeDng(file, fixture));
        const QByteArray bytes = rawMetadata(file);
        const QStringList keys = keysInOrder(bytes);
        EXPECT_EQ(keys.size(), c.keys);
        EXPECT_EQ(keys.contains("exptime"), c.withExposure);
        EXPECT_EQ(keys.contains("ISO"), c.withExposure);
        EXPECT_EQ(parsed(bytes).value("date-obs").toString(),
                  c.cameraDate ? QStringLiteral("2024-03-01T21:05:09") : fileDate(file));
    }
}

TEST_F(Metadata, RawFileNamesOutsideLatin1AreOpened)
{
    const QString file = path(QString::fromUtf8("星雲 ü.dng"));
    ASSERT_TRUE(writeDng(file, DngOptions()));
    const QJsonObject record = parsed(rawMetadata(file));
    EXPECT_EQ(record.value("naxis1").toInt(), DngOptions().sensorWidth);
    EXPECT_EQ(record.value("filename").toString(), QString::fromUtf8("星雲 ü.dng"));
}

TEST_F(Metadata, UnreadableRawGivesAnEmptyRecordAndAReason)
{
    QFile f(path("junk.nef"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));
    f.close();
    QString error;
    EXPECT_EQ(rawMetadata(path("junk.nef"), &error), QByteArray("{}"));
    EXPECT_FALSE(error.isEmpty());
}

// Holds whatever the loader makes of the file: the keys describing the file
// come from the named path and the defaults stay where no card replaces them.
TEST_F(Metadata, FitsRecordDescribesTheNamedFile)
{
    const QString file = writeSmallFits("Bias/m 31.fits");
    const QJsonObject record = parsed(fitsMetadata(file));
    EXPECT_EQ(record.value("filename").toString(), "m 31.fits");
    EXPECT_EQ(record.value("filesize").toDouble(), double(QFileInfo(file).size()));
    EXPECT_EQ(record.value("frame").toString(), "Bias");
    EXPECT_EQ(record.value("Content-Disposition").toString(),
              "attachment;filename=\"m 31.fits\";filename*=UTF-8''m%2031.fits");
    EXPECT_EQ(record.value("bscale").toInt(), 1);
    EXPECT_EQ(record.value("exptime").toInt(), 1);
    EXPECT_EQ(record.value("xbinning").toInt(), 1);
    EXPECT_EQ(record.value("ybinning").toInt(), 1);
    EXPECT_EQ(record.value("naxis").toInt(), 2);
    expectRecentDate(record.value("date-obs").toString());
    expectFreshUuid(record);
    EXPECT_FALSE(record.contains("simple"));
    EXPECT_FALSE(record.contains("extend"));
    EXPECT_FALSE(record.contains("comment"));
}

TEST_F(Metadata, FailedFitsLoadStillGivesTheDefaultRecord)
{
    QFile f(path("noise.fits"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(5000, '\x17'));
    f.close();
    QString error;
    const QByteArray bytes = fitsMetadata(path("noise.fits"), &error);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(keysInOrder(bytes),
              QStringList({"Content-Disposition", "bscale", "bzero", "date-obs", "exptime", "filename", "filesize",
                           "frame", "naxis", "uuid", "xbinning", "ybinning"}));
    EXPECT_EQ(parsed(bytes).value("bzero").toInt(), 32768);
}

TEST_F(Metadata, FitsHeaderCardsEnterTheRecord)
{
    const QString file = writeSmallFits("cards.fits", {
        "DATE-OBS= '2023-11-05T01:02:03' / start",
        "EXPTIME =                120.5 / seconds",
        "XBINNING=                    2",
        "FILENAME= 'original.fits'",
        "OBSERVER= ''",
        "OBJECT  = 'first'",
        "OBJECT  = 'second'",
        "HISTORY a = b / c",
    });
    const QJsonObject record = parsed(fitsMetadata(file));
    EXPECT_EQ(record.value("date-obs").toString(), "2023-11-05T01:02:03");
    EXPECT_EQ(record.value("exptime").toDouble(), 120.5);
    EXPECT_EQ(record.value("xbinning").toInt(), 2);
    EXPECT_EQ(record.value("naxis1").toInt(), 12);
    EXPECT_EQ(record.value("naxis2").toInt(), 8);
    EXPECT_EQ(record.value("bitpix").toInt(), 16);
    EXPECT_EQ(record.value("filename").toString(), "cards.fits");  // computed name wins over the card
    EXPECT_EQ(record.value("object").toString(), "second");        // a repeated key keeps its last value
    EXPECT_FALSE(record.contains("observer"));                     // empty values are left out
    EXPECT_FALSE(record.contains("history"));
    EXPECT_FALSE(record.contains("a"));
}

// A packed file is described by its own name and size; its header records
// come from the image it holds, and checksums only where the file has them.
TEST_F(Metadata, PackedFitsRecordNamesTheSourceFile)
{
    const QString plain = writeSmallFits("plain.fits", {"OBJECT  = 'M 42'"});
    const QString packed = path("Flat/packed.fits.fz");
    QDir().mkpath(path("Flat"));
    ASSERT_TRUE(QFile::copy(plain, packed));
    const QJsonObject record = parsed(fitsMetadata(packed));
    EXPECT_EQ(record.value("filename").toString(), "packed.fits.fz");
    EXPECT_EQ(record.value("filesize").toDouble(), double(QFileInfo(packed).size()));
    EXPECT_EQ(record.value("frame").toString(), "Flat");
    EXPECT_EQ(record.value("Content-Disposition").toString(), "attachment;filename=packed.fits.fz");
    EXPECT_EQ(record.value("object").toString(), "M 42");
    EXPECT_FALSE(record.contains("checksum"));
    EXPECT_FALSE(record.contains("datasum"));
}

// XISF keywords are strings; the image's shape fills in what they lack.
TEST_F(Metadata, XisfRecordStatesTheImageSize)
{
    XisfFixture image;
    image.width = 5;
    image.height = 3;
    image.sampleFormat = LibXISF::Image::Float32;
    image.samples = QByteArray(5 * 3 * 4, '\0');
    image.keywords = {{"EXPTIME", "30", ""}, {"OBJECT", "'M 31  '", "target"}, {"TELESCOP", "'It''s'", ""}};
    ASSERT_TRUE(writeXisfFile(path("m31.xisf"), {image}));
    const QJsonObject record = parsed(fitsMetadata(path("m31.xisf")));
    EXPECT_EQ(record.value("naxis1").toInt(), 5);
    EXPECT_EQ(record.value("naxis2").toInt(), 3);
    EXPECT_EQ(record.value("bitpix").toInt(), -32);
    EXPECT_EQ(record.value("exptime").toString(), "30");
    EXPECT_EQ(record.value("object").toString(), "M 31");
    EXPECT_EQ(record.value("telescop").toString(), "It's");

    image.keywords = {{"NAXIS1", "7", ""}};
    ASSERT_TRUE(writeXisfFile(path("own.xisf"), {image}));
    EXPECT_EQ(parsed(fitsMetadata(path("own.xisf"))).value("naxis1").toString(), "7");
}

TEST(FrameType, FirstDirectoryMarkerWins)
{
    const struct {
        const char *path;
        const char *frame;
    } cases[] = {
        {"/data/Darks/x.fits", "Light"}, {"/data/Dark/x.fits", "Dark"},      {"/data/dark/x.fits", "Light"},
        {"/data/Flat/Dark/x.fits", "Dark"}, {"/data/Flat/x.fits", "Flat"},   {"/data/Bias/Flat/x.fits", "Flat"},
        {"Bias/x.fits", "Bias"},          {"/data/x_Dark.fits", "Light"},    {"", "Light"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(frameType(QString::fromUtf8(c.path)), c.frame) << c.path;
}

TEST(ContentDisposition, IsSafeForAnHttpHeader)
{
    const struct {
        const char *name;
        const char *value;
    } cases[] = {
        {"a.fits", "attachment;filename=a.fits"},
        {"a!#$%&'*+-.^_`|~z09", "attachment;filename=a!#$%&'*+-.^_`|~z09"},
        {"M31 2024.fits", "attachment;filename=\"M31 2024.fits\";filename*=UTF-8''M31%202024.fits"},
        {"say \"hi\".png", "attachment;filename=\"say \\\"hi\\\".png\";filename*=UTF-8''say%20%22hi%22.png"},
        {"back\\slash.png", "attachment;filename=\"back\\\\slash.png\";filename*=UTF-8''back%5Cslash.png"},
        {"semi;colon.png", "attachment;filename=\"semi;colon.png\";filename*=UTF-8''semi%3Bcolon.png"},
        {"Ängström.fits", "attachment;filename=\"_ngstr_m.fits\";filename*=UTF-8''%C3%84ngstr%C3%B6m.fits"},
        {"星😀.png", "attachment;filename=\"__.png\";filename*=UTF-8''%E6%98%9F%F0%9F%98%80.png"},
        {"line\nbreak\r.fits", "attachment;filename=\"line_break_.fits\";filename*=UTF-8''line%0Abreak%0D.fits"},
        {"del\x7f.fits", "attachment;filename=\"del_.fits\";filename*=UTF-8''del%7F.fits"},
        {"", "attachment;filename=\"\";filename*=UTF-8''"},
    };
    for (const auto &c : cases) {
        const QString value = contentDisposition(QString::fromUtf8(c.name));
        EXPECT_EQ(value, QString::fromUtf8(c.value)) << c.name;
        for (QChar ch : value)
            EXPECT_TRUE(ch.unicode() >= 0x20 && ch.unicode() < 0x7f) << c.name;
    }
}

TEST(Classification, BySuffixAfterTheLastDot)
{
    const struct {
        const char *path;
        InputClass inputClass;
    } cases[] = {
        {"a.fits", InputClass::FitsXisf},       {"a.FITS", InputClass::FitsXisf},
        {"a.Fits", InputClass::FitsXisf},       {"a.fit", InputClass::FitsXisf},
        {"m31.xisf", InputClass::FitsXisf},     {"image.fits.fz", InputClass::FitsXisf},
        {"a.NEF", InputClass::Raw},             {"a.dng", InputClass::Raw},
        {"a.cr3", InputClass::Raw},             {"picture.orf", InputClass::Unsupported},
        {"a.JPG", InputClass::Picture},         {"scan.final.png", InputClass::Picture},
        {"a.fts", InputClass::Unsupported},     {"noext", InputClass::Unsupported},
        {"png", InputClass::Picture},           {"/data/x.png/file", InputClass::Unsupported},
        {"archive.tar.gz", InputClass::Unsupported}, {"trailing.", InputClass::Unsupported},
    };
    for (const auto &c : cases)
        EXPECT_EQ(classifySource(QString::fromUtf8(c.path)), c.inputClass) << c.path;
}

} // namespace
