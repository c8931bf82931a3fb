#include "image/fits_data.h"
#include "tests/fixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr long kWidth = 300;
constexpr long kHeight = 200;

std::vector<short> testSamples()
{
    std::vector<short> samples(size_t(kWidth * kHeight));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = short((i * 37) % 1000);
    return samples;
}

// A file with an empty primary array and the test image tile-compressed in
// an extension, as fpack writes it.
bool writeCompressed(const QString &path, int compression)
{
    QFile::remove(path);
    const QByteArray name = QFile::encodeName(path);
    int status = 0;
    fitsfile *f = nullptr;
    fits_create_diskfile(&f, name.constData(), &status);
    fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
    fits_set_compression_type(f, compression, &status);
    long axes[2] = {kWidth, kHeight};
    fits_create_img(f, SHORT_IMG, 2, axes, &status);
    std::vector<short> samples = testSamples();
    fits_write_img(f, TSHORT, 1, LONGLONG(samples.size()), samples.data(), &status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    return status == 0 && closeStatus == 0;
}

constexpr int kRows = 1000;  // CFITSIO leaves smaller tables uncompressed

// A primary array followed by a binary table of kRows rows; `ztable` is a
// ZTABLE card to add, or empty.
bool writeTable(const QString &path, const char *ztable)
{
    QFile::remove(path);
    const QByteArray name = QFile::encodeName(path);
    int status = 0;
    fitsfile *f = nullptr;
    fits_create_diskfile(&f, name.constData(), &status);
    fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
    char *types[] = {const_cast<char *>("J"), const_cast<char *>("D")};
    char *names[] = {const_cast<char *>("INDEX"), const_cast<char *>("VALUE")};
    fits_create_tbl(f, BINARY_TBL, kRows, 2, names, types, nullptr, "DATA", &status);
    std::vector<int> index(kRows);
    std::vector<double> value(kRows);
    for (int i = 0; i < kRows; ++i) {
        index[size_t(i)] = i * 3;
        value[size_t(i)] = i * 0.25;
    }
    fits_write_col(f, TINT, 1, 1, 1, kRows, index.data(), &status);
    fits_write_col(f, TDOUBLE, 2, 1, 1, kRows, value.data(), &status);
    if (*ztable)
        fits_write_record(f, ztable, &status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    return status == 0 && closeStatus == 0;
}

// Copies `plain` into `packed` with its table compressed by CFITSIO.
bool compressTableFile(const QString &plain, const QString &packed)
{
    QFile::remove(packed);
    int status = 0;
    fitsfile *in = nullptr, *out = nullptr;
    fits_open_diskfile(&in, QFile::encodeName(plain).constData(), READONLY, &status);
    fits_create_diskfile(&out, QFile::encodeName(packed).constData(), &status);
    fits_copy_hdu(in, out, 0, &status);
    fits_movabs_hdu(in, 2, nullptr, &status);
    fits_compress_table(in, out, &status);
    // CFITSIO copies tables it finds too small to compress.
    int ztable = 0;
    fits_read_key(out, TLOGICAL, "ZTABLE", &ztable, nullptr, &status);
    int closeStatus = 0;
    if (in)
        fits_close_file(in, &closeStatus);
    if (out)
        fits_close_file(out, &closeStatus);
    return status == 0 && closeStatus == 0 && ztable;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Replaces the card of `key` in a raw FITS file by `card`.
bool replaceCard(QByteArray &file, const QByteArray &key, const QByteArray &card)
{
    for (int at = 0; at + 80 <= file.size(); at += 80) {
        if (file.mid(at, 8) == key.leftJustified(8, ' ')) {
            file.replace(at, 80, card.leftJustified(80, ' '));
            return true;
        }
    }
    return false;
}

struct UnpackRun {
    bool ok = false;
    std::string out;
    std::string err;
};

UnpackRun unpack(FITSData &data, const QString &path, const QByteArray &bytes = QByteArray())
{
    data.filename = path;
    data.extension = QFileInfo(path).completeSuffix().toLower();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    UnpackRun run;
    run.ok = data.unpackToMemory(bytes);
    run.err = testing::internal::GetCapturedStderr();
    run.out = testing::internal::GetCapturedStdout();
    return run;
}

int hduCount(fitsfile *f)
{
    int count = 0, status = 0;
    fits_get_num_hdus(f, &count, &status);
    return status ? -1 : count;
}

// Samples of HDU `hdu`, which must be a kWidth x kHeight 16-bit image.
std::vector<short> imageSamples(fitsfile *f, int hdu)
{
    int status = 0, bitpix = 0, naxis = 0;
    long axes[2] = {0, 0};
    fits_movabs_hdu(f, hdu, nullptr, &status);
    fits_get_img_param(f, 2, &bitpix, &naxis, axes, &status);
    if (status || bitpix != SHORT_IMG || naxis != 2 || axes[0] != kWidth || axes[1] != kHeight)
        return {};
    std::vector<short> samples(size_t(kWidth * kHeight));
    fits_read_img(f, TSHORT, 1, LONGLONG(samples.size()), nullptr, samples.data(), nullptr, &status);
    return status ? std::vector<short>() : samples;
}

bool checksumsValid(fitsfile *f, int hdu)
{
    int status = 0, dataOk = 0, hduOk = 0;
    fits_movabs_hdu(f, hdu, nullptr, &status);
    fits_verify_chksum(f, &dataOk, &hduOk, &status);
    return status == 0 && dataOk == 1 && hduOk == 1;
}

class FitsUnpack : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

class CompressedImage : public FitsUnpack, public testing::WithParamInterface<int>
{};

} // namespace

TEST_P(CompressedImage, ExpandsIntoMemoryBehindTheEmptyPrimary)
{
    const QString packed = path("m31.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, GetParam()));
    FITSData data;
    const UnpackRun run = unpack(data, packed);
    ASSERT_TRUE(run.ok) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "");

    fitsfile *f = data.fitsHandle.get();
    ASSERT_NE(f, nullptr);
    EXPECT_NE(data.memoryFile, nullptr);
    ASSERT_EQ(hduCount(f), 2);
    int status = 0, naxis = -1;
    fits_movabs_hdu(f, 1, nullptr, &status);
    fits_get_img_dim(f, &naxis, &status);
    EXPECT_EQ(naxis, 0);
    EXPECT_EQ(imageSamples(f, 2), testSamples());
    EXPECT_EQ(fits_is_compressed_image(f, &status), 0);
    EXPECT_TRUE(checksumsValid(f, 1));
    EXPECT_TRUE(checksumsValid(f, 2));

    // The copy lives under a fresh temporary name that no file carries.
    const QRegularExpression temporary("^" + QRegularExpression::escape(QDir::tempPath()) + "/[0-9a-f]{32}$");
    EXPECT_TRUE(temporary.match(data.filename).hasMatch()) << data.filename.toStdString();
    EXPECT_FALSE(QFileInfo::exists(data.filename));
    EXPECT_EQ(data.packedFilename, packed);
    EXPECT_TRUE(data.inTempDir);
    // Primary header block, image header block, 300 x 200 x 2 bytes padded.
    EXPECT_EQ(data.stats.size, 2880 * 2 + 120960);
    EXPECT_LE(size_t(data.stats.size), data.memoryFileSize);

    FITSData again;
    ASSERT_TRUE(unpack(again, packed).ok);
    EXPECT_NE(again.filename, data.filename);
}

INSTANTIATE_TEST_SUITE_P(Coders, CompressedImage, testing::Values(RICE_1, GZIP_1, GZIP_2, PLIO_1));

// CFITSIO's HCOMPRESS decoder reads past a damaged tile without bound, so
// such images are refused before any tile is decoded.
TEST_F(FitsUnpack, RefusesHcompressedImages)
{
    const QString packed = path("m31.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, HCOMPRESS_1));
    FITSData data;
    const UnpackRun run = unpack(data, packed);
    EXPECT_FALSE(run.ok);
    EXPECT_TRUE(data.loadError.contains("HCOMPRESS")) << data.loadError.toStdString();
    EXPECT_EQ(data.fitsHandle, nullptr);
}

TEST_F(FitsUnpack, CopiesAnUncompressedFileUnchanged)
{
    const std::vector<short> samples = testSamples();
    FitsImageSpec image;
    image.axes = {kWidth, kHeight};
    image.data = samples.data();
    image.dataType = TSHORT;
    const QString plain = path("plain.fits.fz");
    ASSERT_TRUE(writeFits(plain, image));
    ASSERT_TRUE(appendFitsImage(plain, image));

    FITSData data;
    ASSERT_TRUE(unpack(data, plain).ok);
    fitsfile *f = data.fitsHandle.get();
    ASSERT_EQ(hduCount(f), 2);
    EXPECT_EQ(imageSamples(f, 1), samples);
    EXPECT_EQ(imageSamples(f, 2), samples);
    EXPECT_TRUE(checksumsValid(f, 1));
    EXPECT_EQ(data.stats.size, QFileInfo(plain).size());
}

TEST_F(FitsUnpack, BinaryTablesAreCopiedUnlessZtableIsTrue)
{
    struct Case {
        const char *ztable;
        bool compress;
    } cases[] = {{"", false}, {"ZTABLE  =                    F / not compressed", false}, {"", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.ztable) + (c.compress ? " compressed" : ""));
        const QString plain = path("table.fits");
        ASSERT_TRUE(writeTable(plain, c.ztable));
        QString input = plain;
        if (c.compress) {
            input = path("table.fits.fz");
            ASSERT_TRUE(compressTableFile(plain, input));
        }
        FITSData data;
        const UnpackRun run = unpack(data, input);
        ASSERT_TRUE(run.ok) << run.err;
        fitsfile *f = data.fitsHandle.get();
        ASSERT_EQ(hduCount(f), 2);
        int status = 0, type = -1;
        long rows = 0;
        fits_movabs_hdu(f, 2, &type, &status);
        fits_get_num_rows(f, &rows, &status);
        EXPECT_EQ(type, BINARY_TBL);
        EXPECT_EQ(rows, kRows);
        std::vector<int> index(kRows);
        std::vector<double> value(kRows);
        fits_read_col(f, TINT, 1, 1, 1, kRows, nullptr, index.data(), nullptr, &status);
        fits_read_col(f, TDOUBLE, 2, 1, 1, kRows, nullptr, value.data(), nullptr, &status);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(index[kRows - 1], 3 * (kRows - 1));
        EXPECT_EQ(value[10], 2.5);
        // A copied table keeps its ZTABLE card; an expanded one has none.
        int ztable = 1;
        fits_read_key(f, TLOGICAL, "ZTABLE", &ztable, nullptr, &status);
        EXPECT_EQ(status, c.compress || !*c.ztable ? KEY_NO_EXIST : 0);
        if (*c.ztable) {
            EXPECT_EQ(ztable, 0);
        }
        EXPECT_TRUE(checksumsValid(f, 2));
    }
}

// Variable-length columns are inflated into buffers sized from the table's
// own descriptors, so such a table is copied as it stands.
TEST_F(FitsUnpack, CompressedTableWithVariableLengthColumnsStaysPacked)
{
    FITSData data;
    const UnpackRun run = unpack(data, QStringLiteral(SKYIMG_SOURCE_DIR "/tests/data/malformed/fz_table_variable_length.fits"));
    ASSERT_TRUE(run.ok) << run.err;
    fitsfile *f = data.fitsHandle.get();
    int status = 0, ztable = 0;
    fits_movabs_hdu(f, 2, nullptr, &status);
    fits_read_key(f, TLOGICAL, "ZTABLE", &ztable, nullptr, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ztable, 1);
}

TEST_F(FitsUnpack, TruncatedFileIsReportedOnStandardError)
{
    const QString packed = path("good.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, RICE_1));
    const QByteArray whole = readAll(packed);
    ASSERT_GT(whole.size(), 3 * 2880);
    struct Case {
        int cut;
        const char *hduLine;
    } cases[] = {
        {int(whole.size()) - 1, "  in HDU number 2\n"},     // last block short: CFITSIO's read fails
        {int(whole.size()) - 2880, "  in HDU number 2\n"},  // data declared beyond the end
        {2880 + 100, nullptr},                              // second header cut
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cut);
        const QString cutPath = path("cut.fits.fz");
        ASSERT_TRUE(writeAll(cutPath, whole.left(c.cut)));
        FITSData data;
        const UnpackRun run = unpack(data, cutPath);
        EXPECT_FALSE(run.ok);
        EXPECT_EQ(data.fitsHandle, nullptr);
        EXPECT_EQ(data.memoryFile, nullptr);
        EXPECT_FALSE(data.loadError.isEmpty());
        EXPECT_EQ(run.out, "");
        const std::string fileLine = "Error processing file: " + QFile::encodeName(cutPath).toStdString() + "\n";
        EXPECT_EQ(run.err.rfind(fileLine, 0), 0u) << run.err;
        if (c.hduLine) {
            EXPECT_NE(run.err.find(std::string(fileLine) + c.hduLine), std::string::npos) << run.err;
        }
        EXPECT_NE(run.err.find("FITSIO status = "), std::string::npos);
        EXPECT_NE(run.err.find("Input file is unchanged.\n"), std::string::npos);
        EXPECT_EQ(data.packedFilename, cutPath);
        EXPECT_EQ(data.filename, cutPath);
    }
}

TEST_F(FitsUnpack, MissingInputHasNoOutputToDiscard)
{
    FITSData data;
    const UnpackRun run = unpack(data, path("absent.fits.fz"));
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.err.rfind("Error: Unable to process input file\n", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find("Input file is unchanged."), std::string::npos);
    EXPECT_EQ(data.memoryFile, nullptr);
    EXPECT_EQ(data.fitsHandle, nullptr);
}

TEST_F(FitsUnpack, ByteBufferRouteKeepsTheNames)
{
    const QString packed = path("m31.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, RICE_1));
    const QByteArray bytes = readAll(packed);

    FITSData data;
    const UnpackRun run = unpack(data, packed, bytes);
    ASSERT_TRUE(run.ok) << run.err;
    EXPECT_EQ(data.filename, packed);
    EXPECT_TRUE(data.packedFilename.isEmpty());
    EXPECT_TRUE(data.inTempDir);
    EXPECT_EQ(data.stats.size, 2880 * 2 + 120960);
    // The reopened file ends where the FITS data ends, not at the buffer's end.
    EXPECT_EQ(data.memoryFileSize, size_t(data.stats.size));
    fitsfile *f = data.fitsHandle.get();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(hduCount(f), 2);
    EXPECT_EQ(imageSamples(f, 2), testSamples());

    // Bytes that stop where the zero fill of the last block begins are read
    // as if the fill were there (the sanitizers check that nothing is read
    // past them).
    int end = bytes.size();
    while (end > 0 && bytes[end - 1] == '\0')
        --end;
    ASSERT_LT(end, bytes.size() - 1);
    FITSData shortBlock;
    ASSERT_TRUE(unpack(shortBlock, packed, bytes.left(end)).ok);
    EXPECT_EQ(imageSamples(shortBlock.fitsHandle.get(), 2), testSamples());

    FITSData cut;
    const UnpackRun failed = unpack(cut, packed, bytes.left(bytes.size() - 2880));
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.err.rfind("Error processing file: \n  in HDU number 2\n", 0), 0u) << failed.err;
    EXPECT_EQ(cut.memoryFile, nullptr);
    EXPECT_EQ(cut.fitsHandle, nullptr);
}

TEST_F(FitsUnpack, NamesAreReadLiterally)
{
    const QString packed = path("m31.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, RICE_1));
    ASSERT_TRUE(QDir(dir.path()).mkdir("ftp:"));
    // Each would mean something else to CFITSIO's extended file names:
    // standard input, clobbering, an extension, a filter, a remote file.
    const QStringList names = {"-", "-dash.fits.fz", "!bang.fits.fz", "img[1].fits.fz", "img(2).fits.fz",
                               "ftp://m31.fits.fz"};
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    for (const QString &name : names) {
        SCOPED_TRACE(name.toStdString());
        QFile::remove(name);
        ASSERT_TRUE(QFile::copy(packed, name));
        FITSData data;
        const UnpackRun run = unpack(data, name);
        EXPECT_TRUE(run.ok) << run.err;
        EXPECT_EQ(data.packedFilename, name);
        ASSERT_NE(data.fitsHandle, nullptr);
        EXPECT_EQ(imageSamples(data.fitsHandle.get(), 2), testSamples());
    }
    QDir::setCurrent(previous);
}

TEST_F(FitsUnpack, DeclaredSizesBeyondTheLimitsAreRefused)
{
    const QString packed = path("m31.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, RICE_1));
    const QByteArray original = readAll(packed);

    // A plain header that claims 800 MB in a single block.
    QByteArray plainClaim(2880, ' ');
    const char *cards[] = {"SIMPLE  =                    T", "BITPIX  =                   16",
                           "NAXIS   =                    2", "NAXIS1  =                20000",
                           "NAXIS2  =                20000", "END"};
    for (int i = 0; i < 6; ++i)
        plainClaim.replace(i * 80, int(qstrlen(cards[i])), cards[i]);

    // Compressed headers claiming 1.6 GB (over the ratio for a small file)
    // and 7.2 GB (over the absolute cap).
    QByteArray ratioClaim = original, capClaim = original;
    ASSERT_TRUE(replaceCard(ratioClaim, "ZNAXIS1", "ZNAXIS1 =                40000"));
    ASSERT_TRUE(replaceCard(ratioClaim, "ZNAXIS2", "ZNAXIS2 =                20000"));
    // CFITSIO checks that the table has one row per tile: keep 200 tiles.
    ASSERT_TRUE(replaceCard(ratioClaim, "ZTILE1", "ZTILE1  =                40000"));
    ASSERT_TRUE(replaceCard(ratioClaim, "ZTILE2", "ZTILE2  =                  100"));
    ASSERT_TRUE(replaceCard(capClaim, "ZTILE1", "ZTILE1  =                60000"));
    ASSERT_TRUE(replaceCard(capClaim, "ZTILE2", "ZTILE2  =                  300"));
    ASSERT_TRUE(replaceCard(capClaim, "ZNAXIS1", "ZNAXIS1 =                60000"));
    ASSERT_TRUE(replaceCard(capClaim, "ZNAXIS2", "ZNAXIS2 =                60000"));

    struct Case {
        const char *name;
        QByteArray bytes;
        const char *reason;
    } cases[] = {{"plain", plainClaim, "past the end of the file"}, {"ratio", ratioClaim, "too much"}, {"cap", capClaim, "too much"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString claim = path(QString("%1.fits.fz").arg(c.name));
        ASSERT_TRUE(writeAll(claim, c.bytes));
        for (bool fromBytes : {false, true}) {
            FITSData data;
            const UnpackRun run = unpack(data, claim, fromBytes ? c.bytes : QByteArray());
            EXPECT_FALSE(run.ok);
            EXPECT_TRUE(data.loadError.contains(c.reason)) << data.loadError.toStdString() << run.err;
            EXPECT_NE(run.err.find("Input file is unchanged."), std::string::npos) << run.err;
            EXPECT_EQ(data.memoryFile, nullptr);
            EXPECT_EQ(data.fitsHandle, nullptr);
        }
    }
}
