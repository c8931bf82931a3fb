// The tool run as a process, and the RAW and picture preview builders.

#include "app/driver.h"
#include "app/previews.h"
#include "image/fits_data.h"
#include "stretch/fits_preview.h"
#include "tests/dng_fixture.h"
#include "tests/fixtures.h"
#include "tests/xisf_writer.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <fitsio.h>
#include <sys/stat.h>

namespace {

// Noise makes smooth and fast scaling differ in almost every pixel.
QImage noisePicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    uint32_t state = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            state = state * 1103515245u + 12345u;
            picture.setPixel(x, y, qRgb(int(state >> 24), int((state >> 16) & 0xff), (x * 7 + y * 3) & 0xff));
        }
    return picture;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QImage decodedJpeg(const QImage &picture)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.convertToFormat(QImage::Format_RGB32).save(&buffer, "JPEG", 90);
    return QImage::fromData(bytes);
}

std::string text(const QByteArray &bytes)
{
    return bytes.toStdString();
}

class Driver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(noisePicture(120, 80).save(path("sky.png"), "PNG"));
    }
    QString path(const QString &name) const { return dir.filePath(name); }
    QSize sizeOf(const QString &file) const { return QImageReader(file).size(); }
    void writeBytes(const QString &name, const QByteArray &bytes)
    {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    // One line of the tool's own on standard error (decoders may add their
    // own reports before it).
    void expectMessage(const ProcessResult &run, const char *start)
    {
        QByteArrayList own;
        for (const QByteArray &line : run.err.split('\n'))
            if (line.startsWith("skyimg: "))
                own << line;
        ASSERT_EQ(own.size(), 1) << text(run.err);
        EXPECT_TRUE(own.first().startsWith(start)) << text(run.err);
        EXPECT_TRUE(run.err.endsWith('\n'));
    }

    QTemporaryDir dir;
};

// A program that does not start is a failure with its reason, and nothing
// is killed on its behalf.
TEST_F(Driver, ProgramsThatCannotStartAreReportedAsFailures)
{
    writeBytes("not executable", "#!/bin/sh\n");
    for (const QString &program : {path("none here"), path("not executable"), dir.path()}) {
        ProcessResult run;
        EXPECT_NONFATAL_FAILURE(run = runProgram(program, {}), "cannot start");
        EXPECT_TRUE(run.crashed) << program.toStdString();
    }
}

TEST_F(Driver, NoArgumentsPrintsTheHelpTextQuoted)
{
    const ProcessResult run = runSkyimg({});
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_TRUE(run.out.isEmpty());
    // The log stream quotes the help text as one string value.
    EXPECT_TRUE(run.err.startsWith("\"Usage: ")) << text(run.err);
    for (const char *part : {"Small Skylathe OS tool to process FITS/XISF/RAW files.", "-q <quality>", "JPEG quality.",
                             "-f <format>", "--max-width <width>", "--save-preview <file>", "--save-thumb <file>",
                             "--meta", "Source FITS/XISF/RAW file"})
        EXPECT_TRUE(run.err.contains(part)) << part;
}

// The first line is what the standard version option prints; the libraries
// follow, one a line.
TEST_F(Driver, VersionNamesTheProgramThenEveryLibrary)
{
    const ProcessResult run = runSkyimg({"--version"});
    EXPECT_EQ(run.exitCode, 0);
    const QList<QByteArray> lines = run.out.split('\n');
    ASSERT_GE(lines.size(), 7) << text(run.out);
    EXPECT_EQ(lines[0], "skyimg 2.0");
    for (const char *library : {"Qt ", "CFITSIO ", "WCSLIB ", "LibRaw ", "GSL ", "XISF reader "})
        EXPECT_TRUE(run.out.contains("\n" + QByteArray(library))) << library;
    EXPECT_TRUE(runSkyimg({"--version", "--bogus"}).exitCode != 0);
}

TEST_F(Driver, MissingFileIsReportedInTheLogStreamsWords)
{
    const ProcessResult run = runSkyimg({"--meta", path("none here.fits")});
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_EQ(run.err, "File \"" + path("none here.fits").toUtf8() + "\" is not found!\n");
}

TEST_F(Driver, ExistingFileWithoutActionDoesNothing)
{
    writeBytes("data.xyz", "plain text");
    for (const QString &name : {QStringLiteral("sky.png"), QStringLiteral("data.xyz")}) {
        const ProcessResult run = runSkyimg({path(name)});
        EXPECT_EQ(run.exitCode, 0) << text(run.err);
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.isEmpty());
    }
}

TEST_F(Driver, UnsupportedSuffixFailsEveryAction)
{
    writeBytes("data.xyz", "plain text");
    writeBytes("camera.orf", "not read by the driver");
    for (const QString &name : {QStringLiteral("data.xyz"), QStringLiteral("camera.orf")}) {
        for (const QStringList &action : {QStringList{"--meta"}, QStringList{"--save-preview", path("p.jpg")},
                                          QStringList{"--save-thumb", path("t.jpg")}}) {
            const ProcessResult run = runSkyimg(action + QStringList{path(name)});
            EXPECT_EQ(run.exitCode, 255) << text(run.err);
            EXPECT_TRUE(run.out.isEmpty());
            expectMessage(run, "skyimg: cannot read ");
        }
    }
    EXPECT_FALSE(QFile::exists(path("p.jpg")));
    EXPECT_FALSE(QFile::exists(path("t.jpg")));
}

TEST_F(Driver, UpperCaseSuffixesAreClassified)
{
    ASSERT_TRUE(QFile::copy(path("sky.png"), path("SKY.PNG")));
    ASSERT_TRUE(writeDng(path("CAMERA.DNG"), DngOptions()));
    const ProcessResult picture = runSkyimg({"--meta", path("SKY.PNG")});
    EXPECT_EQ(picture.exitCode, 0);
    EXPECT_EQ(QJsonDocument::fromJson(picture.out).object().value("naxis1").toInt(), 120);
    const ProcessResult raw = runSkyimg({"--meta", path("CAMERA.DNG")});
    EXPECT_EQ(raw.exitCode, 0);
    EXPECT_EQ(QJsonDocument::fromJson(raw.out).object().value("naxis1").toInt(), DngOptions().sensorWidth);
}

TEST_F(Driver, MetaComesBeforePreviewAndPreviewBeforeThumb)
{
    const ProcessResult meta =
        runSkyimg({"--save-thumb", path("t.png"), "--save-preview", path("p.png"), "--meta", path("sky.png")});
    EXPECT_EQ(meta.exitCode, 0);
    EXPECT_TRUE(meta.out.startsWith("{\"Content-Disposition\":")) << text(meta.out);
    EXPECT_FALSE(meta.out.endsWith('\n'));
    EXPECT_FALSE(QFile::exists(path("p.png")));
    EXPECT_FALSE(QFile::exists(path("t.png")));

    const ProcessResult preview =
        runSkyimg({"--save-thumb", path("t.png"), "--save-preview", path("p.png"), path("sky.png")});
    EXPECT_EQ(preview.exitCode, 0) << text(preview.err);
    EXPECT_TRUE(preview.out.isEmpty());
    EXPECT_EQ(sizeOf(path("p.png")), QSize(120, 80));
    EXPECT_FALSE(QFile::exists(path("t.png")));
}

TEST_F(Driver, WidthLimitParsing)
{
    const struct {
        QStringList args;
        int width;
    } cases[] = {
        {{"--max-width", "abc"}, 120}, {{"--max-width", "0"}, 120},     {{"--max-width", "-5"}, 120},
        {{"--max-width", "120"}, 120}, {{"--max-width", "119"}, 119},   {{"--max-width", "60"}, 60},
        {{"--max-width", "2147483647"}, 120},                           {{}, 120},
    };
    for (const auto &c : cases) {
        QFile::remove(path("p.jpg"));
        const ProcessResult run = runSkyimg(QStringList{"--save-preview", path("p.jpg")} + c.args + QStringList{path("sky.png")});
        EXPECT_EQ(run.exitCode, 0) << text(run.err);
        EXPECT_EQ(sizeOf(path("p.jpg")).width(), c.width) << c.args.join(' ').toStdString();
    }
    // Thumbnails are 100 wide whatever the width limit says.
    const ProcessResult thumb = runSkyimg({"--save-thumb", path("t.jpg"), "--max-width", "800", path("sky.png")});
    EXPECT_EQ(thumb.exitCode, 0);
    EXPECT_EQ(sizeOf(path("t.jpg")), QSize(100, 67));
}

TEST_F(Driver, QualityThatIsNoNumberMeansEighty)
{
    const auto encodedWith = [&](const QString &quality) {
        const ProcessResult run = runSkyimg({"-q", quality, "--save-preview", path("q.jpg"), path("sky.png")});
        EXPECT_EQ(run.exitCode, 0) << text(run.err);
        return readAll(path("q.jpg"));
    };
    const QByteArray eighty = encodedWith("80");
    EXPECT_EQ(encodedWith("abc"), eighty);
    EXPECT_NE(encodedWith("20"), eighty);
    // Out-of-range qualities go to the writer as they are and still write a picture.
    for (const char *quality : {"-5", "1000"})
        EXPECT_FALSE(QImage::fromData(encodedWith(quality)).isNull()) << quality;
}

TEST_F(Driver, FormatOptionChoosesTheEncoder)
{
    const ProcessResult run = runSkyimg({"-f", "png", "--save-preview", path("out.jpg"), path("sky.png")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(readAll(path("out.jpg")).startsWith("\x89PNG\r\n\x1a\n"));
    const ProcessResult jpeg = runSkyimg({"--save-preview", path("out.png"), path("sky.png")});
    EXPECT_EQ(jpeg.exitCode, 0);
    EXPECT_TRUE(readAll(path("out.png")).startsWith("\xff\xd8"));
}

TEST_F(Driver, FailedSavesLeaveNoFileBehind)
{
    writeBytes("old.jpg", "previous content");
    const struct {
        QStringList args;
        QString output;
    } cases[] = {
        {{"--save-preview", path("no/such/dir/p.jpg")}, path("no/such/dir/p.jpg")},
        {{"-f", "nosuchformat", "--save-preview", path("p.jpg")}, path("p.jpg")},
        {{"-f", "nosuchformat", "--save-thumb", path("old.jpg")}, path("old.jpg")},
        {{"--save-preview", dir.path()}, dir.path()},
        {{"--save-preview", ""}, ""},
    };
    for (const auto &c : cases) {
        const ProcessResult run = runSkyimg(c.args + QStringList{path("sky.png")});
        EXPECT_EQ(run.exitCode, 255) << c.args.join(' ').toStdString();
        expectMessage(run, "skyimg: cannot write ");
    }
    EXPECT_FALSE(QFile::exists(path("p.jpg")));
    EXPECT_EQ(readAll(path("old.jpg")), QByteArray("previous content"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);  // sky.png, old.jpg
}

// "-" is standard output, with nothing else on it; a picture that cannot be
// built or encoded writes nothing there either.
TEST_F(Driver, DashMeansStandardOutput)
{
    writeBytes("broken.png", "\x89PNG\r\n\x1a\n and nothing else");
    const struct {
        QStringList args;
        int exitCode;
        QSize size;
        const char *format;
        const char *message;
    } cases[] = {
        {{"--save-preview", "-", "-f", "png", "sky.png"}, 0, QSize(120, 80), "png", nullptr},
        {{"--save-thumb", "-", "sky.png"}, 0, QSize(100, 67), "jpeg", nullptr},
        {{"--save-preview=-", "--max-width", "60", "-f", "tif", "sky.png"}, 0, QSize(60, 40), "tiff", nullptr},
        {{"--save-preview", "-", "broken.png"}, 255, QSize(), nullptr, "skyimg: cannot read "},
        {{"--save-preview", "-", "-f", "nosuchformat", "sky.png"}, 255, QSize(), nullptr,
         "skyimg: cannot write standard output: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const ProcessResult run = runSkyimg(c.args, dir.path());
        EXPECT_EQ(run.exitCode, c.exitCode) << text(run.err);
        if (c.message) {
            EXPECT_TRUE(run.out.isEmpty());
            expectMessage(run, c.message);
            continue;
        }
        EXPECT_TRUE(run.err.isEmpty()) << text(run.err);
        QBuffer buffer(const_cast<QByteArray *>(&run.out));
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        EXPECT_EQ(reader.format(), QByteArray(c.format));
        EXPECT_EQ(reader.read().size(), c.size);
    }
    EXPECT_FALSE(QFileInfo::exists(path("-")));
}

TEST_F(Driver, FullDeviceIsAFailureAndStaysADevice)
{
    if (!QFileInfo::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    const ProcessResult run = runSkyimg({"--save-preview", "/dev/full", path("sky.png")});
    EXPECT_EQ(run.exitCode, 255);
    expectMessage(run, "skyimg: cannot write /dev/full: ");
    struct stat info;
    ASSERT_EQ(stat("/dev/full", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

TEST_F(Driver, AwkwardFileNames)
{
    const QString name = QString::fromUtf8("-Ängström nebula ü.png");
    ASSERT_TRUE(QFile::copy(path("sky.png"), path(name)));
    // "--" ends the options, so a name with a leading dash is the source.
    const ProcessResult meta = runSkyimg({"--meta", "--", name}, dir.path());
    EXPECT_EQ(meta.exitCode, 0) << text(meta.err);
    const QJsonObject record = QJsonDocument::fromJson(meta.out).object();
    EXPECT_EQ(record.value("filename").toString(), name);
    EXPECT_EQ(record.value("Content-Disposition").toString(),
              "attachment;filename=\"-_ngstr_m nebula _.png\";filename*=UTF-8''-%C3%84ngstr%C3%B6m%20nebula%20%C3%BC.png");

    const ProcessResult preview = runSkyimg({"--save-preview", "-out put.png", "-f", "png", "--", name}, dir.path());
    EXPECT_EQ(preview.exitCode, 0) << text(preview.err);
    EXPECT_EQ(sizeOf(path("-out put.png")), QSize(120, 80));
}

TEST_F(Driver, UndecodablePictureMetaFails)
{
    writeBytes("broken.png", "\x89PNG\r\n\x1a\n and nothing else");
    const ProcessResult run = runSkyimg({"--meta", path("broken.png")});
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_TRUE(run.out.isEmpty());
    expectMessage(run, "skyimg: cannot read ");

    QDir().mkpath(path("folder.png"));
    const ProcessResult folder = runSkyimg({"--save-thumb", path("t.png"), path("folder.png")});
    EXPECT_EQ(folder.exitCode, 255);
    expectMessage(folder, "skyimg: cannot read ");
    EXPECT_FALSE(QFile::exists(path("t.png")));
}

TEST_F(Driver, RawPreviewIsTheEmbeddedPictureAgainstTheSensorWidth)
{
    DngOptions fixture;
    fixture.sensorWidth = 1200;
    fixture.sensorHeight = 800;
    fixture.preview = noisePicture(160, 107);
    ASSERT_TRUE(writeDng(path("wide.dng"), fixture));
    const struct {
        QStringList args;
        QSize size;
    } cases[] = {
        {{"--save-preview", path("p.png"), "--max-width", "1024"}, QSize(1024, 685)},  // enlarged to the limit
        {{"--save-thumb", path("p.png")}, QSize(100, 67)},
        {{"--save-preview", path("p.png")}, QSize(160, 107)},  // no limit: its own size
        {{"--save-preview", path("p.png"), "--max-width", "1200"}, QSize(160, 107)},
    };
    for (const auto &c : cases) {
        QFile::remove(path("p.png"));
        const ProcessResult run = runSkyimg(c.args + QStringList{"-f", "png", path("wide.dng")});
        EXPECT_EQ(run.exitCode, 0) << text(run.err);
        EXPECT_EQ(sizeOf(path("p.png")), c.size) << c.args.join(' ').toStdString();
    }
}

TEST_F(Driver, RawPreviewFailures)
{
    DngOptions fixture;
    fixture.jpegPreview = false;  // plain RGB bytes, no picture format
    ASSERT_TRUE(writeDng(path("bitmap.dng"), fixture));
    writeBytes("junk.nef", QByteArray(3000, 'j'));
    QByteArray truncated = makeDng(DngOptions());
    truncated.truncate(100);
    writeBytes("cut.dng", truncated);
    for (const char *name : {"bitmap.dng", "junk.nef", "cut.dng"}) {
        const ProcessResult run = runSkyimg({"--save-preview", path("p.jpg"), path(name)});
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, 255) << name;
        expectMessage(run, "skyimg: cannot read ");
        EXPECT_FALSE(QFile::exists(path("p.jpg"))) << name;
    }
    // The metadata record of a RAW file LibRaw cannot open stays "{}".
    const ProcessResult meta = runSkyimg({"--meta", path("junk.nef")});
    EXPECT_EQ(meta.exitCode, 0);
    EXPECT_EQ(meta.out, QByteArray("{}"));
}

TEST_F(Driver, FitsMetaOfAFileThatDoesNotLoadStillPrintsARecord)
{
    writeBytes("noise.fits", QByteArray(5000, '\x17'));
    writeBytes("noise.fits.fz", QByteArray(5000, '\x17'));
    for (const char *name : {"noise.fits", "noise.fits.fz"}) {
        const ProcessResult run = runSkyimg({"--meta", path(name)});
        EXPECT_EQ(run.exitCode, 0) << name;
        EXPECT_EQ(QJsonDocument::fromJson(run.out).object().value("filename").toString(), name);
        expectMessage(run, "skyimg: cannot read ");

        const ProcessResult preview = runSkyimg({"--save-preview", path("p.jpg"), path(name)});
        EXPECT_EQ(preview.exitCode, 255) << name;
        expectMessage(preview, "skyimg: cannot read ");
        EXPECT_FALSE(QFile::exists(path("p.jpg")));
    }
}

// Needs the FITS loader and the stretch: skipped while either is missing.
TEST_F(Driver, FitsPreviewAndThumbnail)
{
    const int width = 300, height = 200;
    std::vector<uint16_t> samples(size_t(width) * height);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint16_t(1000 + (i * 7919) % 2000);
    FitsFixture fixture;
    fixture.axes = {width, height};
    fixture.data = samples.data();
    fixture.dataType = TUSHORT;
    fixture.bitpix = 20;
    ASSERT_TRUE(writeFits(path("field.fits"), fixture));
    {
        FITSData probe;
        auto load = probe.startLoad(path("field.fits"));
        load.waitForFinished();
        if (!load.result())
            GTEST_SKIP() << "the FITS loader cannot load the file yet";
        QString error;
        if (fitsPreview(path("field.fits"), 0, 80, &error).isNull() && error.contains("not available yet"))
            GTEST_SKIP() << "FITS previews are not built yet";
    }
    const ProcessResult preview =
        runSkyimg({"--save-preview", path("p.png"), "-f", "png", "--max-width", "150", path("field.fits")});
    EXPECT_EQ(preview.exitCode, 0) << text(preview.err);
    const QImage picture(path("p.png"));
    EXPECT_EQ(picture.size(), QSize(150, 100));
    EXPECT_TRUE(picture.isGrayscale());
    const ProcessResult thumb = runSkyimg({"--save-thumb", path("t.jpg"), path("field.fits")});
    EXPECT_EQ(thumb.exitCode, 0) << text(thumb.err);
    EXPECT_EQ(sizeOf(path("t.jpg")), QSize(100, 67));
}

TEST(ImagePreview, NarrowingIsStrictAndQualityChoosesTheFilter)
{
    QTemporaryDir dir;
    const QImage source = noisePicture(80, 60);
    const QString file = dir.filePath("eighty.png");
    ASSERT_TRUE(source.save(file, "PNG"));
    const QImage decoded(file);
    const QImage smooth = decoded.scaledToWidth(79, Qt::SmoothTransformation);
    const QImage fast = decoded.scaledToWidth(79, Qt::FastTransformation);
    ASSERT_NE(smooth, fast);

    EXPECT_EQ(imagePreview(file, 100, 80), decoded);
    EXPECT_EQ(imagePreview(file, 80, 80), decoded);
    EXPECT_EQ(imagePreview(file, 0, 80), decoded);
    EXPECT_EQ(imagePreview(file, -5, 80), decoded);
    EXPECT_EQ(imagePreview(file, 79, 51), smooth);
    EXPECT_EQ(imagePreview(file, 79, 50), fast);

    QString error;
    EXPECT_TRUE(imagePreview(dir.filePath("missing.png"), 0, 80, &error).isNull());
    EXPECT_FALSE(error.isEmpty());
}

TEST(RawPreview, EnlargesTheEmbeddedPictureFromItsDecodedPixels)
{
    QTemporaryDir dir;
    DngOptions fixture;
    fixture.sensorWidth = 600;
    fixture.sensorHeight = 400;
    fixture.preview = noisePicture(160, 107);
    ASSERT_TRUE(writeDng(dir.filePath("a.dng"), fixture));
    const QImage embedded = decodedJpeg(fixture.preview);
    QString error;
    EXPECT_EQ(rawPreview(dir.filePath("a.dng"), 500, 51, &error), embedded.scaledToWidth(500, Qt::SmoothTransformation))
        << error.toStdString();
    EXPECT_EQ(rawPreview(dir.filePath("a.dng"), 100, 50), embedded.scaledToWidth(100, Qt::FastTransformation));
    EXPECT_EQ(rawPreview(dir.filePath("a.dng"), 600, 80), embedded);
}

} // namespace

namespace {

// A real 16 x 16 JPEG whose frame header claims another size.
QByteArray jpegClaiming(int width, int height)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    noisePicture(16, 16).save(&buffer, "JPEG", 90);
    const int sof = bytes.indexOf(QByteArray("\xff\xc0", 2));
    if (sof < 0)
        return QByteArray();
    bytes[sof + 5] = char(height >> 8);
    bytes[sof + 6] = char(height & 0xff);
    bytes[sof + 7] = char(width >> 8);
    bytes[sof + 8] = char(width & 0xff);
    return bytes;
}

TEST(PreviewLimits, HugeDeclaredPicturesAreRefusedBeforeDecoding)
{
    QTemporaryDir dir;
    const QByteArray huge = jpegClaiming(60000, 60000);
    ASSERT_FALSE(huge.isEmpty());
    QFile file(dir.filePath("huge.jpg"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(huge);
    file.close();
    QString error;
    EXPECT_TRUE(imagePreview(file.fileName(), 0, 80, &error).isNull());
    EXPECT_TRUE(error.contains("60000 x 60000")) << error.toStdString();

    DngOptions fixture;
    fixture.previewBytes = huge;
    ASSERT_TRUE(writeDng(dir.filePath("huge.dng"), fixture));
    error.clear();
    EXPECT_TRUE(rawPreview(dir.filePath("huge.dng"), 0, 80, &error).isNull());
    EXPECT_TRUE(error.contains("60000 x 60000")) << error.toStdString();
}

TEST(RawPreview, FileWithoutEmbeddedPictureFails)
{
    QTemporaryDir dir;
    DngOptions fixture;
    fixture.withPreview = false;
    ASSERT_TRUE(writeDng(dir.filePath("bare.dng"), fixture));
    QString error;
    EXPECT_TRUE(rawPreview(dir.filePath("bare.dng"), 0, 80, &error).isNull());
    EXPECT_FALSE(error.isEmpty());
}

} // namespace

namespace {

// Pictures decode into many pixel formats; every one must narrow and encode.
TEST(ImagePreview, EveryDecodedPixelFormatNarrowsAndSaves)
{
    QTemporaryDir dir;
    const QImage base = noisePicture(40, 30);
    const QImage::Format formats[] = {QImage::Format_Mono,        QImage::Format_Indexed8, QImage::Format_Grayscale8,
                                      QImage::Format_Grayscale16, QImage::Format_RGB888,   QImage::Format_ARGB32,
                                      QImage::Format_RGBA64};
    for (QImage::Format format : formats) {
        const QString source = dir.filePath(QStringLiteral("f%1.png").arg(int(format)));
        ASSERT_TRUE(base.convertToFormat(format).save(source, "PNG")) << format;
        for (int quality : {50, 90}) {
            QString error;
            const QImage preview = imagePreview(source, 25, quality, &error);
            ASSERT_FALSE(preview.isNull()) << format << error.toStdString();
            for (const char *encoder : {"jpg", "png"}) {
                const QString output = dir.filePath(QStringLiteral("out.") + encoder);
                EXPECT_TRUE(savePicture(preview, output, encoder, quality, &error)) << format << error.toStdString();
                EXPECT_EQ(QImageReader(output).size(), QSize(25, 19)) << format << encoder;
            }
        }
    }
}

// A picture whose pixels are all grey is saved in one channel, and decodes
// to the pixels that the picture as it was (grey palette or 32-bit RGB)
// decoded to; coloured pictures are written exactly as before.
TEST(SavePicture, GreyPicturesKeepTheirPixelsInOneChannel)
{
    QTemporaryDir dir;
    const int width = 230, height = 150;
    std::vector<uint16_t> samples(size_t(width) * height);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint16_t(900 + (i * 7919) % 3000 + (i % width) * 20);
    FitsFixture fits;
    fits.axes = {width, height};
    fits.data = samples.data();
    fits.dataType = TUSHORT;
    ASSERT_TRUE(writeFits(dir.filePath("mono.fits"), fits));
    XisfFixture xisf;
    xisf.width = width;
    xisf.height = height;
    xisf.colorSpace = QStringLiteral("Gray");
    xisf.samples = QByteArray(reinterpret_cast<const char *>(samples.data()), int(samples.size() * 2));
    ASSERT_TRUE(writeXisfFile(dir.filePath("mono.xisf"), {xisf}));
    const QImage noise = noisePicture(width, height);
    ASSERT_TRUE(noise.convertToFormat(QImage::Format_Grayscale8).save(dir.filePath("grey.png")));
    ASSERT_TRUE(noise.save(dir.filePath("colour.png")));
    QImage tinted = noise.convertToFormat(QImage::Format_Grayscale8).convertToFormat(QImage::Format_RGB32);
    for (int y = height - 3; y < height; ++y)  // rows that every narrowing keeps
        for (int x = 0; x < width; ++x)
            tinted.setPixel(x, y, qRgb(90, 130, 90));
    ASSERT_TRUE(tinted.save(dir.filePath("tinted.png")));
    // A grey picture in another colour space than sRGB stays as it is.
    QImage adobe = noise.convertToFormat(QImage::Format_Grayscale8).convertToFormat(QImage::Format_RGB32);
    adobe.setColorSpace(QColorSpace::AdobeRgb);
    ASSERT_TRUE(adobe.save(dir.filePath("adobe.png")));

    const struct {
        const char *name;
        bool grey;
    } sources[] = {{"mono.fits", true}, {"mono.xisf", true}, {"grey.png", true}, {"colour.png", false},
                   {"tinted.png", false}, {"adobe.png", false}};
    // Unscaled, smoothly scaled (32-bit RGB) and fast-scaled.
    const struct {
        int widthLimit;
        int quality;
    } narrowings[] = {{0, 80}, {101, 80}, {101, 50}};
    for (const auto &source : sources) {
        for (const auto &narrowing : narrowings) {
            const QString file = dir.filePath(source.name);
            QString error;
            const QImage picture = file.endsWith(".png")
                                       ? imagePreview(file, narrowing.widthLimit, narrowing.quality, &error)
                                       : fitsPreview(file, narrowing.widthLimit, narrowing.quality, &error);
            ASSERT_FALSE(picture.isNull()) << source.name << error.toStdString();
            for (const char *format : {"jpg", "png", "webp", "tif"}) {
                SCOPED_TRACE(QStringLiteral("%1 %2 q%3 %4")
                                 .arg(source.name)
                                 .arg(narrowing.widthLimit)
                                 .arg(narrowing.quality)
                                 .arg(format)
                                 .toStdString());
                QByteArray before;
                QBuffer buffer(&before);
                buffer.open(QIODevice::WriteOnly);
                QImageWriter writer(&buffer, format);
                writer.setQuality(narrowing.quality);
                ASSERT_TRUE(writer.write(picture));
                const QString output = dir.filePath(QStringLiteral("out.") + format);
                ASSERT_TRUE(savePicture(picture, output, format, narrowing.quality, &error)) << error.toStdString();
                const QByteArray after = readAll(output);
                if (!source.grey) {
                    EXPECT_EQ(after, before);
                    continue;
                }
                const QImage old = QImage::fromData(before).convertToFormat(QImage::Format_RGB32);
                const QImage now = QImage::fromData(after);
                // WebP has no grey pictures: it takes the same RGB either way.
                if (qstrcmp(format, "webp") != 0) {
                    EXPECT_EQ(now.format(), QImage::Format_Grayscale8);
                }
                ASSERT_EQ(now.size(), old.size());
                const QImage nowRgb = now.convertToFormat(QImage::Format_RGB32);
                const int tolerance = qstrcmp(format, "jpg") == 0 ? 1 : 0;
                int worst = 0;
                for (int y = 0; y < old.height(); ++y)
                    for (int x = 0; x < old.width(); ++x)
                        for (int shift : {0, 8, 16})
                            worst = qMax(worst, qAbs(int((old.pixel(x, y) >> shift) & 0xff)
                                                     - int((nowRgb.pixel(x, y) >> shift) & 0xff)));
                EXPECT_LE(worst, tolerance);
            }
        }
    }
}

} // namespace
