#include "image/fits_data.h"
#include "image/tile_checks.h"
#include "stretch/fits_preview.h"
#include "tests/fixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <zlib.h>

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
bool writeCompressed(const QString &path, int compression, int bitpix = SHORT_IMG)
{
    QFile::remove(path);
    const QByteArray name = QFile::encodeName(path);
    int status = 0;
    fitsfile *f = nullptr;
    fits_create_diskfile(&f, name.constData(), &status);
    fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
    fits_set_compression_type(f, compression, &status);
    long axes[2] = {kWidth, kHeight};
    fits_create_img(f, bitpix, 2, axes, &status);
    std::vector<short> samples = testSamples();
    std::vector<float> floats(samples.begin(), samples.end());
    if (bitpix == FLOAT_IMG)
        fits_write_img(f, TFLOAT, 1, LONGLONG(floats.size()), floats.data(), &status);
    else
        fits_write_img(f, TSHORT, 1, LONGLONG(samples.size()), samples.data(), &status);
    fits_write_chksum(f, &status);
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

// Opens `path` (or `bytes` under its name) as a packed file, checking every
// HDU but decoding nothing.
UnpackRun unpack(FITSData &data, const QString &path, const QByteArray &bytes = QByteArray())
{
    data.filename = path;
    data.extension = QFileInfo(path).completeSuffix().toLower();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    UnpackRun run;
    run.ok = data.openCompressed(bytes);
    run.err = testing::internal::GetCapturedStderr();
    run.out = testing::internal::GetCapturedStdout();
    return run;
}

// The whole load of `path` (or of `bytes` under its name), on this thread.
bool load(FITSData &data, const QString &path, const QByteArray &bytes = QByteArray(), bool headerOnly = false)
{
    data.filename = path;
    data.extension = QFileInfo(path).completeSuffix().toLower();
    data.headerOnly = headerOnly;
    return data.loadByExtension(bytes);
}

int hduCount(fitsfile *f)
{
    int count = 0, status = 0;
    fits_get_num_hdus(f, &count, &status);
    return status ? -1 : count;
}

// The loaded samples, which must be one kWidth x kHeight plane of unsigned
// 16-bit samples, as the test's signed values.
std::vector<short> loadedSamples(const FITSData &data)
{
    if (data.stats.sampleType != SampleType::UInt16 || data.stats.width != kWidth || data.stats.height != kHeight ||
        data.stats.channels != 1 || !data.pixels)
        return {};
    const auto *samples = reinterpret_cast<const uint16_t *>(data.pixels.get());
    return std::vector<short>(samples, samples + kWidth * kHeight);
}

// Header records without those that may differ between two correct loads.
QStringList recordTexts(const QList<HeaderRecord> &records)
{
    QStringList texts;
    for (const HeaderRecord &record : records)
        texts << record.key + '=' + record.value.toString() + '/' + record.comment;
    return texts;
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

TEST_P(CompressedImage, ReadsTheImageBehindTheEmptyPrimary)
{
    const QString packed = path("m31.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, GetParam()));
    FITSData data;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(load(data, packed)) << data.loadError.toStdString();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(loadedSamples(data), testSamples());
    EXPECT_EQ(data.stats.size, QFileInfo(packed).size());

    // The file is named by a fresh temporary name that no file carries.
    const QRegularExpression temporary("^" + QRegularExpression::escape(QDir::tempPath()) + "/[0-9a-f]{32}$");
    EXPECT_TRUE(temporary.match(data.filename).hasMatch()) << data.filename.toStdString();
    EXPECT_FALSE(QFileInfo::exists(data.filename));
    EXPECT_EQ(data.packedFilename, packed);
    EXPECT_TRUE(data.inTempDir);

    // The header alone gives the same records, without a sample decoded;
    // the checksums are the compressed HDU's own cards.
    FITSData header;
    ASSERT_TRUE(load(header, packed, QByteArray(), true));
    EXPECT_EQ(header.pixels, nullptr);
    EXPECT_EQ(recordTexts(header.headerRecords), recordTexts(data.headerRecords));
    int status = 0;
    fitsfile *f = nullptr;
    fits_open_diskfile(&f, QFile::encodeName(packed).constData(), READONLY, &status);
    const FitsPtr file(f);
    char checksum[FLEN_VALUE] = {};
    fits_movabs_hdu(f, 2, nullptr, &status);
    fits_read_key(f, TSTRING, "CHECKSUM", checksum, nullptr, &status);
    ASSERT_EQ(status, 0);
    QVariant value;
    ASSERT_TRUE(data.findRecordValue("CHECKSUM", value));
    EXPECT_EQ(value.toString(), QString::fromLatin1(checksum));

    FITSData fromBytes;
    ASSERT_TRUE(load(fromBytes, packed, readAll(packed)));
    EXPECT_EQ(loadedSamples(fromBytes), testSamples());
    EXPECT_EQ(fromBytes.filename, packed);
}

INSTANTIATE_TEST_SUITE_P(Coders, CompressedImage, testing::Values(RICE_1, GZIP_1, GZIP_2, PLIO_1, HCOMPRESS_1));

// Lossy HCOMPRESS, smoothed when decoded: the preview is the one of the
// file as funpack expands it.
TEST_F(FitsUnpack, HcompressPreviewEqualsTheFunpackedFile)
{
    const QString funpack = QStandardPaths::findExecutable("funpack");
    if (funpack.isEmpty())
        GTEST_SKIP() << "funpack (libcfitsio-bin) is not installed";
    const QString packed = path("lossy.fits.fz");
    const QByteArray name = QFile::encodeName(packed);
    int status = 0;
    fitsfile *f = nullptr;
    fits_create_diskfile(&f, name.constData(), &status);
    fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
    fits_set_compression_type(f, HCOMPRESS_1, &status);
    fits_set_hcomp_scale(f, 2.5f, &status);
    fits_set_hcomp_smooth(f, 1, &status);
    long tile[2] = {kWidth, 16};
    fits_set_tile_dim(f, 2, tile, &status);
    long axes[2] = {kWidth, kHeight};
    fits_create_img(f, USHORT_IMG, 2, axes, &status);
    std::vector<unsigned short> samples(size_t(kWidth * kHeight));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = (unsigned short)(1000 + (i * 7919) % 5000 + (i % kWidth) * 50);
    fits_write_img(f, TUSHORT, 1, LONGLONG(samples.size()), samples.data(), &status);
    int closeStatus = 0;
    fits_close_file(f, &closeStatus);
    ASSERT_EQ(status, 0);

    const QString plain = path("lossy.fits");
    ASSERT_EQ(QProcess::execute(funpack, {"-O", plain, packed}), 0);
    QString error;
    const QImage fromTiles = fitsPreview(packed, 100, 90, &error);
    ASSERT_FALSE(fromTiles.isNull()) << error.toStdString();
    EXPECT_EQ(fromTiles, fitsPreview(plain, 100, 90));
}

// The samples read from the tiles are those of the file as CFITSIO expands
// it (what funpack writes), for every codec and the sample types it takes:
// blank float pixels, negative values that fall back to floats, offsets.
TEST_F(FitsUnpack, SamplesEqualCfitsiosExpansion)
{
    struct Case {
        const char *name;
        int compression;
        int bitpix;  // USHORT_IMG and ULONG_IMG: signed with the usual BZERO
        bool negative;  // and, in floats, blank pixels
        int dither = SUBTRACTIVE_DITHER_1;  // how floats are quantised
    } cases[] = {
        {"rice u16", RICE_1, USHORT_IMG, false},       {"rice i16 negative", RICE_1, SHORT_IMG, true},
        {"rice u8", RICE_1, BYTE_IMG, false},          {"rice u32", RICE_1, ULONG_IMG, false},
        {"gzip1 i32", GZIP_1, LONG_IMG, true},         {"gzip2 u16", GZIP_2, USHORT_IMG, false},
        {"gzip2 u8", GZIP_2, BYTE_IMG, false},         {"hcompress u16", HCOMPRESS_1, USHORT_IMG, false},
        {"hcompress i32", HCOMPRESS_1, LONG_IMG, true}, {"plio u8", PLIO_1, BYTE_IMG, false},
        {"rice float with blanks", RICE_1, FLOAT_IMG, true}, {"gzip2 double", GZIP_2, DOUBLE_IMG, true},
        {"rice float, exact zeros kept", RICE_1, FLOAT_IMG, true, SUBTRACTIVE_DITHER_2},
        {"rice float undithered, no blanks", RICE_1, FLOAT_IMG, false, NO_DITHER},
        {"rice double, no blanks", RICE_1, DOUBLE_IMG, false},
        {"gzip2 float, no blanks", GZIP_2, FLOAT_IMG, false},
        {"gzip1 float", GZIP_1, FLOAT_IMG, true},
        {"gzip2 float undithered", GZIP_2, FLOAT_IMG, true, NO_DITHER},
        {"gzip1 double, exact zeros kept", GZIP_1, DOUBLE_IMG, true, SUBTRACTIVE_DITHER_2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString packed = path("case.fits.fz"), plain = path("case.fits");
        QFile::remove(packed);
        QFile::remove(plain);
        int status = 0;
        fitsfile *f = nullptr;
        fits_create_diskfile(&f, QFile::encodeName(packed).constData(), &status);
        fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
        fits_set_compression_type(f, c.compression, &status);
        long tile[2] = {kWidth, 20};
        fits_set_tile_dim(f, 2, tile, &status);
        fits_set_quantize_method(f, c.dither, &status);
        long axes[2] = {kWidth, kHeight};
        fits_create_img(f, c.bitpix, 2, axes, &status);
        std::vector<double> values(size_t(kWidth * kHeight));
        for (size_t i = 0; i < values.size(); ++i) {
            const double wave = double((i * 7919) % 200) - (c.negative ? 1100 : 0);
            values[i] = (c.bitpix == BYTE_IMG ? 20 : 1000) + wave + (i % kWidth);
            if (c.bitpix < 0 && c.negative && i % 501 == 0)
                values[i] = std::numeric_limits<double>::quiet_NaN();
            else if (c.bitpix < 0 && i % 97 == 0)
                values[i] = 0.0;
            else if (c.bitpix < 0)
                values[i] += 0.25 * double(i % 7);
        }
        // CFITSIO compresses NaN as a blank pixel, and takes only the
        // image's own type.
        const auto write = [&](auto sample, int type) {
            std::vector<decltype(sample)> typed(values.begin(), values.end());
            fits_write_img(f, type, 1, LONGLONG(typed.size()), typed.data(), &status);
        };
        switch (c.bitpix) {
        case BYTE_IMG: write(uint8_t(), TBYTE); break;
        case SHORT_IMG: write(int16_t(), TSHORT); break;
        case USHORT_IMG: write(uint16_t(), TUSHORT); break;
        case LONG_IMG: write(int32_t(), TINT); break;
        case ULONG_IMG: write(uint32_t(), TUINT); break;
        case FLOAT_IMG: write(float(), TFLOAT); break;
        default: write(double(), TDOUBLE); break;
        }
        int closeStatus = 0;
        fits_close_file(f, &closeStatus);
        ASSERT_EQ(status, 0);

        fitsfile *in = nullptr, *out = nullptr;
        fits_open_diskfile(&in, QFile::encodeName(packed).constData(), READONLY, &status);
        fits_create_diskfile(&out, QFile::encodeName(plain).constData(), &status);
        fits_copy_hdu(in, out, 0, &status);
        fits_movabs_hdu(in, 2, nullptr, &status);
        fits_img_decompress(in, out, &status);
        fits_close_file(in, &closeStatus);
        fits_close_file(out, &closeStatus);
        ASSERT_EQ(status, 0);

        FITSData fromTiles, expanded;
        ASSERT_TRUE(load(fromTiles, packed)) << fromTiles.loadError.toStdString();
        ASSERT_TRUE(load(expanded, plain)) << expanded.loadError.toStdString();
        EXPECT_EQ(fromTiles.stats.sampleType, expanded.stats.sampleType);
        ASSERT_EQ(fromTiles.pixelBytes, expanded.pixelBytes);
#ifdef __FP_FAST_FMA
        // There the distribution's CFITSIO is compiled to fuse multiply-adds,
        // which this build never does, so that every architecture restores
        // the same floats; its doubles came out up to 2.5e-8 apart on arm64.
        // A fault in the dequantising (a wrong random number, scale or zero)
        // moves a value by a good part of a quantisation step, far more.
        if (fromTiles.stats.sampleType == SampleType::Float || fromTiles.stats.sampleType == SampleType::Double) {
            withSampleType(fromTiles.stats.sampleType, [&](auto sample) {
                using T = decltype(sample);
                const auto *a = reinterpret_cast<const T *>(fromTiles.pixels.get());
                const auto *b = reinterpret_cast<const T *>(expanded.pixels.get());
                const size_t count = fromTiles.pixelBytes / sizeof(T);
                double largest = 1.0;
                for (size_t i = 0; i < count; ++i)
                    if (!std::isnan(double(b[i])))
                        largest = std::max(largest, std::fabs(double(b[i])));
                const double bound = 1e-6 * largest;
                for (size_t i = 0; i < count; ++i) {
                    if (std::isnan(double(a[i])) && std::isnan(double(b[i])))
                        continue;
                    ASSERT_LE(std::fabs(double(a[i]) - double(b[i])), bound) << i;
                }
            });
            continue;
        }
#endif
        EXPECT_EQ(std::memcmp(fromTiles.pixels.get(), expanded.pixels.get(), fromTiles.pixelBytes), 0);
    }
}

namespace {

// A gzip member of `bytes`, with a checksum of its own header when asked.
std::vector<unsigned char> gzipped(const std::vector<unsigned char> &bytes, bool headerChecksum)
{
    z_stream z = {};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    gz_header header = {};
    header.hcrc = headerChecksum;
    deflateSetHeader(&z, &header);
    std::vector<unsigned char> out(deflateBound(&z, uLong(bytes.size())) + 64);
    z.next_in = const_cast<unsigned char *>(bytes.data());
    z.avail_in = uInt(bytes.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

} // namespace

// Tiles are inflated by libdeflate when it can, by zlib otherwise; both
// must give the same verdict and size, so that a tile's fate does not
// depend on which inflated it.
TEST(TileInflation, VerdictsDoNotDependOnTheInflater)
{
    std::vector<unsigned char> samples(5000);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<unsigned char>((i * 7919) % 251);
    const std::vector<unsigned char> plain = gzipped(samples, false);
    std::vector<unsigned char> twoMembers = plain;
    const std::vector<unsigned char> second = gzipped(std::vector<unsigned char>(300, 9), false);
    twoMembers.insert(twoMembers.end(), second.begin(), second.end());
    std::vector<unsigned char> badChecksum = plain;
    badChecksum[badChecksum.size() - 6] ^= 1;
    const std::vector<unsigned char> cut(plain.begin(), plain.end() - 9);
    struct Case {
        const char *name;
        std::vector<unsigned char> stream;
        uint64_t limit;
        size_t buffer;  // 0: counted in a window only
        Inflation verdict;
        uint64_t total;
    } cases[] = {
        {"whole", plain, 5000, 5000, Inflation::Within, 5000},
        {"counted only", plain, 5000, 0, Inflation::Within, 5000},
        {"larger than the buffer", plain, 40000, 4000, Inflation::Within, 5000},
        {"beyond the limit", plain, 4000, 4000, Inflation::Beyond, 0},
        {"first of two members", twoMembers, 5000, 5000, Inflation::Within, 5000},
        {"with a header checksum", gzipped(samples, true), 5000, 5000, Inflation::Within, 5000},
        {"checksum wrong", badChecksum, 5000, 5000, Inflation::Unsound, 0},
        {"cut short", cut, 5000, 5000, Inflation::Unsound, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> out(c.buffer);
        uint64_t total = 0;
        EXPECT_EQ(inflateBounded(c.stream.data(), c.stream.size(), c.limit, out.data(), out.size(), total), c.verdict);
        if (c.verdict != Inflation::Within)
            continue;
        EXPECT_EQ(total, c.total);
        if (c.buffer >= c.total) {
            EXPECT_EQ(std::memcmp(out.data(), samples.data(), size_t(c.total)), 0);
        }
    }
}

TEST_F(FitsUnpack, ReadsAnUncompressedPackedFile)
{
    const std::vector<short> samples = testSamples();
    FitsFixture image;
    image.axes = {kWidth, kHeight};
    image.data = samples.data();
    image.dataType = TSHORT;
    const QString plain = path("plain.fits.fz");
    ASSERT_TRUE(writeFits(plain, image));
    ASSERT_TRUE(appendFitsImage(plain, image));

    FITSData data;
    ASSERT_TRUE(load(data, plain)) << data.loadError.toStdString();
    EXPECT_EQ(loadedSamples(data), samples);
    EXPECT_EQ(data.stats.size, QFileInfo(plain).size());
}

// Tables are checked as if they were expanded, whatever ZTABLE says, and
// then left alone: only images are read.
TEST_F(FitsUnpack, BinaryTablesAreAdmittedWhetherCompressedOrNot)
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
        ASSERT_TRUE(run.ok) << run.err << data.loadError.toStdString();
        ASSERT_EQ(hduCount(data.fitsHandle.get()), 2);
    }
    // Variable-length columns are inflated into buffers sized from the
    // table's own descriptors: such a table would be kept packed.
    FITSData data;
    const UnpackRun run = unpack(data, QStringLiteral(SKYIMG_SOURCE_DIR "/tests/data/malformed/fz_table_variable_length.fits"));
    EXPECT_TRUE(run.ok) << run.err;
}

TEST_F(FitsUnpack, TruncatedFileIsRefusedWithItsReason)
{
    const QString packed = path("good.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, RICE_1));
    const QByteArray whole = readAll(packed);
    ASSERT_GT(whole.size(), 3 * 2880);
    struct Case {
        int cut;
        const char *reason;
    } cases[] = {
        {int(whole.size()) - 2880, "past the end of the file"},  // data declared beyond the end
        {2880 + 100, "unpacking failed"},                        // second header cut
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cut);
        const QString cutPath = path("cut.fits.fz");
        ASSERT_TRUE(writeAll(cutPath, whole.left(c.cut)));
        for (bool fromBytes : {false, true}) {
            FITSData data;
            const UnpackRun run = unpack(data, cutPath, fromBytes ? whole.left(c.cut) : QByteArray());
            EXPECT_FALSE(run.ok);
            EXPECT_EQ(data.fitsHandle, nullptr);
            EXPECT_EQ(data.memoryFile, nullptr);
            EXPECT_TRUE(data.loadError.contains(c.reason)) << data.loadError.toStdString();
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(data.filename, cutPath);
        }
    }
}

TEST_F(FitsUnpack, MissingInputIsRefused)
{
    FITSData data;
    const UnpackRun run = unpack(data, path("absent.fits.fz"));
    EXPECT_FALSE(run.ok);
    EXPECT_TRUE(data.loadError.startsWith("unpacking failed")) << data.loadError.toStdString();
    EXPECT_EQ(data.memoryFile, nullptr);
    EXPECT_EQ(data.fitsHandle, nullptr);
}

TEST_F(FitsUnpack, ByteBufferRouteKeepsTheNames)
{
    const QString packed = path("m31.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, RICE_1));
    const QByteArray bytes = readAll(packed);

    FITSData data;
    ASSERT_TRUE(load(data, packed, bytes)) << data.loadError.toStdString();
    EXPECT_EQ(data.filename, packed);
    EXPECT_TRUE(data.packedFilename.isEmpty());
    EXPECT_TRUE(data.inTempDir);
    EXPECT_EQ(data.stats.size, bytes.size());
    EXPECT_EQ(loadedSamples(data), testSamples());

    // Bytes that stop where the zero fill of the last block begins are read
    // as if the fill were there (the sanitizers check that nothing is read
    // past them).
    int end = bytes.size();
    while (end > 0 && bytes[end - 1] == '\0')
        --end;
    ASSERT_LT(end, bytes.size() - 1);
    FITSData shortBlock;
    ASSERT_TRUE(load(shortBlock, packed, bytes.left(end))) << shortBlock.loadError.toStdString();
    EXPECT_EQ(loadedSamples(shortBlock), testSamples());
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
    }
    QDir::setCurrent(previous);
}

TEST_F(FitsUnpack, DeclaredValuesBeyondTheirLimitsAreRefused)
{
    const QString packed = path("m31.fits.fz");
    ASSERT_TRUE(writeCompressed(packed, RICE_1));
    const QByteArray original = readAll(packed);
    // Dithered floats whose random numbers would start before CFITSIO's table.
    const QString floats = path("floats.fits.fz");
    ASSERT_TRUE(writeCompressed(floats, RICE_1, FLOAT_IMG));
    QByteArray ditherClaim = readAll(floats);
    ASSERT_TRUE(replaceCard(ditherClaim, "ZDITHER0", "ZDITHER0=                    0"));

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
    } cases[] = {{"plain", plainClaim, "past the end of the file"}, {"ratio", ratioClaim, "too much"}, {"cap", capClaim, "too much"},
                  {"dither", ditherClaim, "ZDITHER0 is 0, not 1 or more"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString claim = path(QString("%1.fits.fz").arg(c.name));
        ASSERT_TRUE(writeAll(claim, c.bytes));
        for (bool fromBytes : {false, true}) {
            FITSData data;
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            EXPECT_FALSE(load(data, claim, fromBytes ? c.bytes : QByteArray()));
            const std::string err = testing::internal::GetCapturedStderr() + testing::internal::GetCapturedStdout();
            EXPECT_TRUE(data.loadError.contains(c.reason)) << data.loadError.toStdString() << err;
            EXPECT_EQ(data.memoryFile, nullptr);
            EXPECT_EQ(data.fitsHandle, nullptr);
        }
    }
}
