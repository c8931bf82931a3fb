// Writes the seed corpora of the fuzz targets: small valid inputs of every
// kind each target reads, a few KiB at most. Rerun and commit the output
// when a target's input layout changes:
//
//   make_corpus fuzz/corpus

#include "tests/dng_fixture.h"
#include "tests/fixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <fitsio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

bool save(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush())
        return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

template <typename T>
std::vector<T> ramp(size_t count, double scale, double offset = 0)
{
    std::vector<T> values(count);
    for (size_t i = 0; i < count; ++i)
        values[i] = T(offset + scale * double((i * 37) % 101));
    return values;
}

// A FITS file written through CFITSIO, read back as bytes.
QByteArray fitsBytes(const QString &dir, const FitsFixture &fixture)
{
    const QString path = dir + QStringLiteral("/plain.fits");
    return writeFits(path, fixture) ? contents(path) : QByteArray();
}

// An empty primary array and the image tile-compressed in an extension.
template <typename T>
QByteArray compressedBytes(const QString &dir, int compression, int bitpix, int dataType, long width, long height,
                           const std::vector<T> &samples, long tileRows = 0)
{
    const QString path = dir + QStringLiteral("/packed.fits");
    QFile::remove(path);
    const QByteArray name = QFile::encodeName(path);
    int status = 0;
    fitsfile *f = nullptr;
    fits_create_diskfile(&f, name.constData(), &status);
    fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
    fits_set_compression_type(f, compression, &status);
    // A fixed dither seed: otherwise CFITSIO takes it from the clock.
    fits_set_dither_seed(f, 1, &status);
    if (tileRows > 0) {
        long tile[2] = {width, tileRows};
        fits_set_tile_dim(f, 2, tile, &status);
    }
    long axes[2] = {width, height};
    fits_create_img(f, bitpix, 2, axes, &status);
    fits_write_img(f, dataType, 1, LONGLONG(samples.size()), const_cast<T *>(samples.data()), &status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    if (status || closeStatus) {
        fits_report_error(stderr, status ? status : closeStatus);
        return QByteArray();
    }
    return contents(path);
}

// Corpus files of fuzz_fits start with the option byte the harness reads.
bool saveFits(const QString &dir, const char *name, uint8_t options, const QByteArray &file)
{
    if (file.isEmpty())
        return false;
    return save(dir + QLatin1Char('/') + QLatin1String(name), QByteArray(1, char(options)) + file);
}

// Option byte: bit 0 ".fits.fz", bit 1 Focus mode, bit 2 header only,
// bits 3-5 the demosaic method.
constexpr uint8_t method(int m)
{
    return uint8_t(m << 3);
}

bool writeFitsCorpus(const QString &out, const QString &tmp)
{
    bool ok = true;
    const auto u16 = ramp<uint16_t>(32 * 24, 300, 1000);
    ok &= saveFits(out, "u16_mono_bzero.bin", 0,
                   fitsBytes(tmp, {20, {32, 24}, u16.data(), TUSHORT,
                                   {"OBJECT  = 'M 31    '", "EXPTIME =                 30.0", "DATE-OBS= '2024-03-01T21:05:09'"}}));
    const auto u8 = ramp<uint8_t>(16 * 12, 2);
    ok &= saveFits(out, "u8_bayer_rggb_ahd.bin", method(7),
                   fitsBytes(tmp, {8, {16, 12}, u8.data(), TBYTE,
                                   {"BAYERPAT= 'RGGB    '", "XBAYROFF=                    1", "YBAYROFF=                    1"}}));
    ok &= saveFits(out, "u16_bayer_bottom_up_vng.bin", method(6),
                   fitsBytes(tmp, {16, {17, 9}, u16.data(), TUSHORT, {"BAYERPAT= 'GRBG    '", "ROWORDER= 'BOTTOM-UP'"}}));
    ok &= saveFits(out, "u16_bayer_focus_downsample.bin", uint8_t(2 | method(4)),
                   fitsBytes(tmp, {16, {8, 6}, u16.data(), TUSHORT, {"BAYERPAT= 'BGGR    '"}}));
    std::vector<float> cube = ramp<float>(8 * 8 * 3, 0.01f);
    cube[5] = std::numeric_limits<float>::quiet_NaN();
    cube[70] = std::numeric_limits<float>::infinity();
    ok &= saveFits(out, "float_rgb_cube_nan.bin", 0, fitsBytes(tmp, {-32, {8, 8, 3}, cube.data(), TFLOAT, {}}));
    const auto i32 = ramp<int32_t>(10 * 10, -1000);
    ok &= saveFits(out, "i32_negative.bin", 0, fitsBytes(tmp, {32, {10, 10}, i32.data(), TINT, {}}));
    const auto i64 = ramp<int64_t>(6 * 5, 1e12);
    ok &= saveFits(out, "i64.bin", 0, fitsBytes(tmp, {64, {6, 5}, i64.data(), TLONGLONG, {}}));
    const auto f64 = ramp<double>(7 * 7, 1e-3);
    ok &= saveFits(out, "double_stats_keywords.bin", 4,
                   fitsBytes(tmp, {-64, {7, 7}, f64.data(), TDOUBLE,
                                   {"DATAMIN =                  0.0", "DATAMAX =                  0.1",
                                    "MEDIAN1 =                 0.05", "MEAN1   =                 0.05",
                                    "STDDEV1 =                 0.02"}}));
    const auto s8 = ramp<uint8_t>(9 * 4 * 2, 1);
    ok &= saveFits(out, "u8_two_planes_bzero.bin", 0,
                   fitsBytes(tmp, {8, {9, 4, 2}, s8.data(), TBYTE, {"BZERO   =                 -128"}}));
    const auto wcsData = ramp<uint16_t>(16 * 16, 10);
    ok &= saveFits(out, "u16_wcs_tan.bin", 0,
                   fitsBytes(tmp, {16, {16, 16}, wcsData.data(), TUSHORT,
                                   {"CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'", "CRPIX1  =                  8.5",
                                    "CRPIX2  =                  8.5", "CRVAL1  =                 10.68",
                                    "CRVAL2  =                 41.27", "CD1_1   =           -0.0002777",
                                    "CD1_2   =                  0.0", "CD2_1   =                  0.0",
                                    "CD2_2   =            0.0002777", "EQUINOX =               2000.0"}}));
    ok &= saveFits(out, "u16_long_strings.bin", 0,
                   fitsBytes(tmp, {16, {4, 4}, u16.data(), TUSHORT,
                                   {"LONGSTRN= 'OGIP 1.0'", "NOTE    = 'a string that goes on &'",
                                    "CONTINUE  'and on &'", "CONTINUE  'to the end' / comment",
                                    "HIERARCH ESO DET CHIP TEMP = -120.5 / hierarch", "HISTORY written for fuzzing"}}));
    ok &= saveFits(out, "rice_u16.bin", 0, compressedBytes(tmp, RICE_1, USHORT_IMG, TUSHORT, 32, 24, u16));
    ok &= saveFits(out, "gzip_float_fz.bin", 1,
                   compressedBytes(tmp, GZIP_1, FLOAT_IMG, TFLOAT, 8, 8, ramp<float>(64, 0.5f)));
    ok &= saveFits(out, "gzip2_i32_tiles.bin", 0,
                   compressedBytes(tmp, GZIP_2, LONG_IMG, TINT, 10, 7, ramp<int32_t>(70, 3), 3));
    ok &= saveFits(out, "hcompress_u16.bin", 1, compressedBytes(tmp, HCOMPRESS_1, USHORT_IMG, TUSHORT, 16, 16, u16));
    ok &= saveFits(out, "plio_u8.bin", 0, compressedBytes(tmp, PLIO_1, BYTE_IMG, TBYTE, 16, 8, u8));
    // Tiles decoded by the reader itself in several bands, and the 64-bit
    // HCOMPRESS decoder; a float image quantised with dithering.
    ok &= saveFits(out, "hcompress_i32_tiles.bin", 1,
                   compressedBytes(tmp, HCOMPRESS_1, LONG_IMG, TINT, 12, 16, ramp<int32_t>(192, -7), 4));
    ok &= saveFits(out, "rice_float_dithered.bin", 1,
                   compressedBytes(tmp, RICE_1, FLOAT_IMG, TFLOAT, 16, 12, ramp<float>(192, 0.37f), 4));
    // An image behind an empty primary array, uncompressed.
    {
        const QString path = tmp + QStringLiteral("/extension.fits");
        ok &= writeFits(path, {8, {}, nullptr, 0, {}});
        ok &= appendFitsImage(path, {16, {6, 6}, u16.data(), TUSHORT, {"EXTNAME = 'SCI     '"}});
        ok &= saveFits(out, "image_in_extension.bin", 0, contents(path));
    }
    return ok;
}

bool writeRawCorpus(const QString &out)
{
    bool ok = true;
    DngOptions small;
    small.sensorWidth = 32;
    small.sensorHeight = 24;
    ok &= save(out + QStringLiteral("/dng_jpeg_preview.dng"), makeDng(small));
    DngOptions wide = small;
    wide.sensorWidth = 240;
    wide.sensorHeight = 6;
    wide.preview = QImage(24, 16, QImage::Format_RGB32);
    wide.preview.fill(QColor(200, 40, 10));
    ok &= save(out + QStringLiteral("/dng_small_preview_enlarged.dng"), makeDng(wide));
    DngOptions bitmap = small;
    bitmap.jpegPreview = false;
    bitmap.preview = QImage(8, 6, QImage::Format_RGB32);
    bitmap.preview.fill(Qt::green);
    ok &= save(out + QStringLiteral("/dng_bitmap_preview.dng"), makeDng(bitmap));
    DngOptions none = small;
    none.withPreview = false;
    none.withExposure = false;
    ok &= save(out + QStringLiteral("/dng_no_preview.dng"), makeDng(none));
    return ok;
}

QByteArray cards(const QStringList &lines)
{
    QByteArray text;
    for (const QString &line : lines)
        text += line.toLatin1().leftJustified(80, ' ', true);
    return text + QByteArray("END").leftJustified(80, ' ');
}

bool writeWcsCorpus(const QString &out)
{
    bool ok = true;
    const QStringList tan = {"SIMPLE  =                    T", "BITPIX  =                   16",
                             "NAXIS   =                    2", "NAXIS1  =                  100",
                             "NAXIS2  =                  100", "CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'",
                             "CRPIX1  =                 50.5", "CRPIX2  =                 50.5",
                             "CRVAL1  =                 83.8", "CRVAL2  =                 -5.4"};
    ok &= save(out + QStringLiteral("/tan_cd.txt"),
               cards(tan + QStringList{"CD1_1   =             -0.00028", "CD1_2   =              0.00001",
                                       "CD2_1   =              0.00001", "CD2_2   =              0.00028"}));
    ok &= save(out + QStringLiteral("/tan_pc_cdelt.txt"),
               cards(tan + QStringList{"CDELT1  =             -0.00028", "CDELT2  =              0.00028",
                                       "PC1_1   =                  1.0", "PC2_2   =                  1.0",
                                       "RADESYS = 'ICRS    '", "EQUINOX =               2000.0"}));
    ok &= save(out + QStringLiteral("/crota_degrees.txt"),
               cards(tan + QStringList{"CDELT1  =                -0.01", "CDELT2  =                 0.01",
                                       "CROTA2  =                 12.5"}));
    ok &= save(out + QStringLiteral("/sip_distortion.txt"),
               cards({"NAXIS   =                    2", "WCSAXES =                    2",
                      "CTYPE1  = 'RA---TAN-SIP'", "CTYPE2  = 'DEC--TAN-SIP'", "CRPIX1  =                512.0",
                      "CRPIX2  =                512.0", "CRVAL1  =                150.1", "CRVAL2  =                  2.2",
                      "CD1_1   =              -1.0E-4", "CD2_2   =               1.0E-4", "A_ORDER =                    2",
                      "A_0_2   =               1.0D-6", "A_1_1   =              -2.0E-7", "B_ORDER =                    2",
                      "B_2_0   =               3.0E-7"}));
    ok &= save(out + QStringLiteral("/alternate_and_third_axis.txt"),
               cards({"NAXIS   =                    3", "CTYPE1  = 'GLON-CAR'", "CTYPE2  = 'GLAT-CAR'",
                      "CTYPE3  = 'FREQ    '", "CRPIX1  =                  1.0", "CRPIX2  =                  1.0",
                      "CRPIX3  =                  1.0", "CDELT1  =                 -0.1", "CDELT2  =                  0.1",
                      "CDELT3  =                1.0E6", "CUNIT3  = 'Hz      '", "WCSNAMEA= 'linear  '",
                      "CTYPE1A = 'X       '", "CTYPE2A = 'Y       '", "CRPIX1A =                  1.0"}));
    ok &= save(out + QStringLiteral("/zero_reference_pixel.txt"),
               cards({"NAXIS   =                    2", "CTYPE1  = 'RA---SIN'", "CTYPE2  = 'DEC--SIN'",
                      "CRPIX1  =                  0.0", "CRVAL1  =                  0.0"}));
    return ok;
}

struct PipelineHeader {
    uint16_t width, height;
    uint8_t sampleType, channels, pattern, method, bayerBits, mode;
    int16_t widthLimit;
    uint8_t quality, regionX, regionY, regionSize;
};

QByteArray pipelineInput(const PipelineHeader &h, const QByteArray &samples)
{
    QByteArray bytes;
    const auto put8 = [&bytes](unsigned v) { bytes.append(char(v & 0xff)); };
    put8(h.width);
    put8(h.width >> 8);
    put8(h.height);
    put8(h.height >> 8);
    put8(h.sampleType);
    put8(h.channels);
    put8(h.pattern);
    put8(h.method);
    put8(h.bayerBits);
    put8(h.mode);
    put8(uint16_t(h.widthLimit));
    put8(uint16_t(h.widthLimit) >> 8);
    put8(h.quality);
    put8(h.regionX);
    put8(h.regionY);
    put8(h.regionSize);
    return bytes + samples;
}

template <typename T>
QByteArray sampleBytes(const std::vector<T> &values)
{
    return QByteArray(reinterpret_cast<const char *>(values.data()), int(values.size() * sizeof(T)));
}

bool writePipelineCorpus(const QString &out)
{
    bool ok = true;
    // Sample type indices: 0 u8, 1 u16, 2 i16, 3 u32, 4 i32, 5 float, 6 i64, 7 double.
    ok &= save(out + QStringLiteral("/u16_bayer_bilinear.bin"),
               pipelineInput({24, 16, 1, 0, 0, 2, 1, 0, 12, 90, 2, 2, 20}, sampleBytes(ramp<uint16_t>(97, 300))));
    ok &= save(out + QStringLiteral("/u8_bayer_high_quality_offset.bin"),
               pipelineInput({15, 11, 0, 0, 3, 3, 3, 0, 7, 40, 1, 1, 9}, sampleBytes(ramp<uint8_t>(53, 2))));
    ok &= save(out + QStringLiteral("/u16_bayer_edge_sense.bin"),
               pipelineInput({9, 9, 1, 0, 2, 5, 1, 3, 0, 80, 0, 0, 3}, sampleBytes(ramp<uint16_t>(31, 900))));
    ok &= save(out + QStringLiteral("/u8_bayer_one_pixel.bin"),
               pipelineInput({1, 1, 0, 0, 1, 7, 1, 0, 0, 80, 0, 0, 0}, QByteArray(1, char(77))));
    ok &= save(out + QStringLiteral("/float_rgb_nan.bin"),
               pipelineInput({12, 10, 5, 2, 0, 0, 0, 0, 5, 60, 3, 3, 30},
                             sampleBytes(std::vector<float>{0.1f, 0.5f, std::nanf(""), 0.9f, 0.2f, 0.3f, 0.0f})));
    ok &= save(out + QStringLiteral("/u32_mono_16bit_range.bin"),
               pipelineInput({20, 3, 3, 0, 0, 0, 0, 0, -1, 50, 0, 0, 7}, sampleBytes(ramp<uint32_t>(13, 500))));
    ok &= save(out + QStringLiteral("/i64_rgb.bin"),
               pipelineInput({5, 4, 6, 2, 0, 0, 0, 0, 2, 30, 0, 1, 5}, sampleBytes(ramp<int64_t>(11, -1e15))));
    ok &= save(out + QStringLiteral("/double_constant.bin"),
               pipelineInput({6, 6, 7, 0, 0, 0, 0, 4, 0, 90, 0, 0, 0}, sampleBytes(std::vector<double>(1, 3.5))));
    ok &= save(out + QStringLiteral("/i16_two_channels.bin"),
               pipelineInput({7, 3, 2, 1, 0, 0, 0, 0, 0, 90, 0, 0, 4}, sampleBytes(ramp<int16_t>(5, -7))));
    ok &= save(out + QStringLiteral("/u16_large_subsampled.bin"),
               pipelineInput({1024, 600, 1, 0, 0, 0, 4, 0, 300, 90, 10, 10, 200},
                             sampleBytes(ramp<uint16_t>(4093, 650))));
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus CORPUS_DIR\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir tmp;
    bool ok = tmp.isValid();
    for (const char *target : {"fits", "raw", "wcs", "pipeline"})
        ok &= QDir(root).mkpath(QLatin1String(target));
    ok = ok && writeFitsCorpus(root + QStringLiteral("/fits"), tmp.path());
    ok = ok && writeRawCorpus(root + QStringLiteral("/raw"));
    ok = ok && writeWcsCorpus(root + QStringLiteral("/wcs"));
    ok = ok && writePipelineCorpus(root + QStringLiteral("/pipeline"));
    return ok ? 0 : 1;
}
