// Writes the damaged and awkward inputs of the malformed-input suite
// (tests/test_malformed.cpp), each a few KiB. Rerun it and commit the output
// when a case changes:
//
//   make_malformed tests/data/malformed

#include "tests/dng_fixture.h"
#include "tests/fixtures.h"
#include "tests/xisf_writer.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QStringList>
#include <QTemporaryDir>
#include <QtEndian>

#include <fitsio.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr int kBlock = 2880;

QString outDir;
bool allWritten = true;

void save(const char *name, const QByteArray &bytes)
{
    QFile file(outDir + QLatin1Char('/') + QLatin1String(name));
    if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()) {
        std::fprintf(stderr, "cannot write %s\n", name);
        allWritten = false;
    }
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray padded(QByteArray bytes, char fill)
{
    if (bytes.size() % kBlock)
        bytes.append(QByteArray(kBlock - bytes.size() % kBlock, fill));
    return bytes;
}

// A header made card by card, for what CFITSIO refuses to write.
QByteArray header(const QList<QByteArray> &cards, bool end = true)
{
    QByteArray text;
    for (const QByteArray &card : cards)
        text += card.leftJustified(80, ' ', true);
    if (end)
        text += QByteArray("END").leftJustified(80, ' ');
    return padded(text, ' ');
}

QByteArray card(const char *key, const QByteArray &value)
{
    return QByteArray(key).leftJustified(8, ' ') + "= " + value.rightJustified(20, ' ');
}

QList<QByteArray> imageCards(int bitpix, const std::vector<long long> &axes)
{
    QList<QByteArray> cards = {card("SIMPLE", "T"), card("BITPIX", QByteArray::number(bitpix)),
                               card("NAXIS", QByteArray::number(qlonglong(axes.size())))};
    for (size_t i = 0; i < axes.size(); ++i)
        cards += card(QByteArray("NAXIS" + QByteArray::number(qulonglong(i + 1))).constData(),
                      QByteArray::number(axes[i]));
    return cards;
}

// Big-endian samples as FITS stores them.
template <typename T>
QByteArray bigEndian(const std::vector<T> &values)
{
    QByteArray bytes;
    for (T v : values) {
        char raw[sizeof(T)];
        std::memcpy(raw, &v, sizeof(T));
        for (size_t i = sizeof(T); i-- > 0;)
            bytes.append(raw[i]);
    }
    return padded(bytes, '\0');
}

std::vector<uint16_t> ramp16(size_t count)
{
    std::vector<uint16_t> values(count);
    for (size_t i = 0; i < count; ++i)
        values[i] = uint16_t((i * 7919) % 4000);
    return values;
}

QByteArray fitsFile(const QString &tmp, const FitsFixture &fixture)
{
    const QString path = tmp + QStringLiteral("/image.fits");
    return writeFits(path, fixture) ? contents(path) : QByteArray();
}

// An empty primary array and a tile-compressed 16-bit image in tiles of
// tileWidth x tileHeight.
QByteArray compressedFile(const QString &tmp, long width, long height, long tileWidth, long tileHeight,
                          int compression = RICE_1, int bitpix = SHORT_IMG)
{
    const QString path = tmp + QStringLiteral("/packed.fits");
    QFile::remove(path);
    const QByteArray name = QFile::encodeName(path);
    int status = 0;
    fitsfile *f = nullptr;
    fits_create_diskfile(&f, name.constData(), &status);
    fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
    fits_set_compression_type(f, compression, &status);
    long tile[2] = {tileWidth, tileHeight};
    fits_set_tile_dim(f, 2, tile, &status);
    long axes[2] = {width, height};
    fits_create_img(f, bitpix, 2, axes, &status);
    if (bitpix == FLOAT_IMG) {
        // A ramp has no noise to quantise by: CFITSIO gzips its tiles
        // losslessly instead. It still records a dither seed, by default
        // from the clock.
        fits_set_dither_seed(f, 1, &status);
        std::vector<float> samples(size_t(width * height));
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = float(i) * 0.5f;
        fits_write_img(f, TFLOAT, 1, LONGLONG(samples.size()), samples.data(), &status);
    } else {
        std::vector<short> samples(size_t(width * height));
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = short((i * 7919) % 4000);
        fits_write_img(f, TSHORT, 1, LONGLONG(samples.size()), samples.data(), &status);
    }
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    return status == 0 && closeStatus == 0 ? contents(path) : QByteArray();
}

// An empty primary array and a table of 1000 rows of two doubles (TFORM
// "1D") or of variable-length arrays of doubles ("1PD"), compressed by CFITSIO
// into one tile of GZIP columns.
QByteArray compressedTableFile(const QString &tmp, const char *form)
{
    const QString plain = tmp + QStringLiteral("/table.fits");
    const QString packed = tmp + QStringLiteral("/table.fits.fz");
    QFile::remove(plain);
    QFile::remove(packed);
    constexpr int kRows = 1000;  // CFITSIO leaves smaller tables uncompressed
    int status = 0;
    fitsfile *in = nullptr, *out = nullptr;
    fits_create_diskfile(&in, QFile::encodeName(plain).constData(), &status);
    fits_create_img(in, BYTE_IMG, 0, nullptr, &status);
    char *names[] = {const_cast<char *>("A"), const_cast<char *>("B")};
    char *forms[] = {const_cast<char *>(form), const_cast<char *>(form)};
    fits_create_tbl(in, BINARY_TBL, kRows, 2, names, forms, nullptr, "T", &status);
    std::vector<double> values(kRows);
    for (int i = 0; i < kRows; ++i)
        values[size_t(i)] = i * 0.5;
    const bool variable = std::strchr(form, 'P') != nullptr;
    for (int column = 1; column <= 2; ++column) {
        if (!variable)
            fits_write_col(in, TDOUBLE, column, 1, 1, kRows, values.data(), &status);
        for (int row = 1; variable && row <= kRows; ++row)
            fits_write_col(in, TDOUBLE, column, row, 1, 1 + row % 3, values.data(), &status);
    }
    fits_create_diskfile(&out, QFile::encodeName(packed).constData(), &status);
    fits_movabs_hdu(in, 1, nullptr, &status);
    fits_copy_hdu(in, out, 0, &status);
    fits_movabs_hdu(in, 2, nullptr, &status);
    fits_compress_table(in, out, &status);
    int closeStatus = 0;
    if (in)
        fits_close_file(in, &closeStatus);
    if (out)
        fits_close_file(out, &closeStatus);
    return status == 0 && closeStatus == 0 ? contents(packed) : QByteArray();
}

// Where the first `key` card of `file` starts, or -1.
int cardAt(const QByteArray &file, const char *key)
{
    const QByteArray field = QByteArray(key).leftJustified(8, ' ') + "=";
    for (int at = 0; at + 80 <= file.size(); at += 80) {
        if (file.mid(at, 9) == field)
            return at;
    }
    return -1;
}

// Replaces the value of the first `key` card of `file`, keeping the card 80 bytes.
QByteArray withCard(QByteArray file, const char *key, const QByteArray &value)
{
    const int at = cardAt(file, key);
    return at < 0 ? QByteArray() : file.replace(at, 80, card(key, value).leftJustified(80, ' ', true));
}

// Blanks the first `key` card of `file`.
QByteArray withoutCard(QByteArray file, const char *key)
{
    const int at = cardAt(file, key);
    return at < 0 ? QByteArray() : file.replace(at, 80, QByteArray(80, ' '));
}

void writeFitsCases(const QString &tmp)
{
    const auto u16 = ramp16(16 * 12);
    save("fits_naxis_negative.fits", header(imageCards(16, {}) .mid(0, 2) + QList<QByteArray>{card("NAXIS", "-1")}));
    save("fits_naxis_zero.fits", header(imageCards(16, {})));
    save("fits_naxis_1000.fits", header(imageCards(8, {}).mid(0, 2) + QList<QByteArray>{card("NAXIS", "1000")}));
    save("fits_axis_zero.fits", header(imageCards(16, {0, 10})));
    save("fits_axis_2_31.fits", header(imageCards(8, {2147483648LL, 1})) + QByteArray(kBlock, '\0'));
    save("fits_huge_declared_size.fits", header(imageCards(16, {40000, 40000})));
    save("fits_bitpix_24.fits", header(imageCards(24, {4, 4})) + QByteArray(kBlock, '\0'));
    save("fits_missing_end.fits", header(imageCards(16, {16, 12}), false) + bigEndian(u16));
    {
        QList<QByteArray> cards = imageCards(16, {16, 12});
        cards += "LONGSTRN= 'OGIP 1.0'";
        cards += "NOTE    = 'a string continued on every card &'";
        for (int i = 0; i < 60; ++i)
            cards += "CONTINUE  '" + QByteArray(66, char('a' + i % 26)) + "&'";
        // The chain runs into the END card: the string never closes.
        save("fits_continue_chain_unclosed.fits", header(cards) + bigEndian(u16));
    }
    save("fits_truncated_data.fits", header(imageCards(16, {100, 100})) + bigEndian(ramp16(1440)));
    save("fits_truncated_last_block.fits", (header(imageCards(16, {16, 12})) + bigEndian(u16)).left(kBlock + 200));
    save("fits_bzero_bscale_overflow.fits",
         header(imageCards(16, {16, 12}) + QList<QByteArray>{card("BZERO", "1.0E300"), card("BSCALE", "1.0E300")}) +
             bigEndian(u16));
    save("fits_bscale_zero.fits", header(imageCards(16, {16, 12}) + QList<QByteArray>{card("BSCALE", "0.0")}) +
                                      bigEndian(u16));
    {
        std::vector<float> values(16 * 12);
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = float(i % 13) * 0.1f;
        values[3] = std::numeric_limits<float>::quiet_NaN();
        values[40] = std::numeric_limits<float>::infinity();
        values[41] = -std::numeric_limits<float>::infinity();
        values[100] = std::numeric_limits<float>::max();
        save("fits_nan_inf_samples.fits", header(imageCards(-32, {16, 12})) + bigEndian(values));
        save("fits_all_nan.fits", header(imageCards(-32, {16, 12})) +
                                      bigEndian(std::vector<float>(16 * 12, std::numeric_limits<float>::quiet_NaN())));
    }
    // CFITSIO reads BLANK as an integer; a value this long overflowed the
    // message buffer of its failed conversion.
    save("fits_blank_value_too_long.fits",
         header(imageCards(16, {16, 12}) + QList<QByteArray>{card("BLANK", "'" + QByteArray(40, 'g') + "'")}) +
             bigEndian(u16));
    save("fits_constant.fits", header(imageCards(16, {16, 12})) + bigEndian(std::vector<uint16_t>(16 * 12, 1234)));
    save("fits_naxis3_2.fits", header(imageCards(16, {8, 8, 2})) + bigEndian(ramp16(8 * 8 * 2)));
    save("fits_naxis3_1000.fits", header(imageCards(8, {2, 2, 1000})) + padded(QByteArray(4000, '\x11'), '\0'));

    // Compressed.
    save("fz_tiles_not_dividing.fits", compressedFile(tmp, 20, 12, 7, 5));
    const QByteArray packed = compressedFile(tmp, 20, 12, 20, 1);
    save("fz_unknown_compression.fits", withCard(packed, "ZCMPTYPE", "'WAVELET1'"));
    // Cut 100 bytes into the data: the tile descriptors stay, the tiles go.
    save("fz_truncated_tile.fits", packed.left(packed.size() - kBlock + 100));
    save("fz_tile_size_zero.fits", withCard(packed, "ZTILE1", "0"));
    save("fz_axis_length_missing.fits", withoutCard(packed, "ZNAXIS1"));
    save("fz_no_axes.fits", withCard(packed, "ZNAXIS", "0"));
    save("fz_first_axis_zero_untiled.fits", withCard(withoutCard(packed, "ZTILE1"), "ZNAXIS1", "0"));
    save("fz_tile_larger_than_image.fits", withCard(packed, "ZTILE1", "2147483647"));
    // The tile's own header says 16 x 16 pixels where the image has 8 x 16.
    const QByteArray hcompress = compressedFile(tmp, 16, 16, 16, 16, HCOMPRESS_1);
    save("fz_hcompress_tile_mismatch.fits", withCard(withCard(hcompress, "ZNAXIS1", "8"), "ZTILE1", "8"));
    // A 10 x 10 image whose one GZIP tile inflates to 400 x 300 samples.
    QByteArray inflating = compressedFile(tmp, 400, 300, 400, 300, GZIP_1);
    for (const char *key : {"ZNAXIS1", "ZNAXIS2", "ZTILE1", "ZTILE2"})
        inflating = withCard(inflating, key, "10");
    save("fz_gzip_tile_inflates_beyond.fits", inflating);
    // The same tile's stream cut in half by its descriptor, the first word
    // of the table's data: CFITSIO would grow its buffer for ever.
    QByteArray cut = compressedFile(tmp, 400, 300, 400, 300, GZIP_1);
    const int tableData = (cut.indexOf("XTENSION") / kBlock + 1) * kBlock;
    if (tableData > kBlock && cut.size() >= tableData + 4) {
        const uint32_t length = qFromBigEndian<uint32_t>(cut.constData() + tableData);
        qToBigEndian<uint32_t>(length / 2, cut.data() + tableData);
    }
    save("fz_gzip_tile_cut_short.fits", cut);
    // Float tiles kept losslessly, declared as doubles: each inflates to
    // half the bytes CFITSIO expects.
    save("fz_lossless_floats_as_doubles.fits",
         withCard(compressedFile(tmp, 20, 12, 20, 12, RICE_1, FLOAT_IMG), "ZBITPIX", "-64"));

    // Compressed tables. Halving ZTILELEN leaves two tiles in one row;
    // halving ZNAXIS2 as well leaves each column's stream inflating to twice
    // its room, in the middle of CFITSIO's tile buffer.
    const QByteArray table = compressedTableFile(tmp, "1D");
    save("fz_table_tiles_not_rows.fits", withCard(table, "ZTILELEN", "500"));
    save("fz_table_column_beyond.fits", withCard(withCard(table, "ZTILELEN", "500"), "ZNAXIS2", "500"));
    save("fz_table_narrower_than_columns.fits", withCard(table, "ZNAXIS1", "8"));
    save("fz_table_variable_length.fits", compressedTableFile(tmp, "1PD"));

    // One tile that claims 65535 x 65535 bytes: 4 GiB from 8 KiB.
    QByteArray huge = compressedFile(tmp, 20, 12, 20, 12);
    for (const char *key : {"ZNAXIS1", "ZNAXIS2", "ZTILE1", "ZTILE2"})
        huge = withCard(huge, key, "65535");
    save("fz_huge_declared_image.fits", withCard(huge, "ZBITPIX", "8"));

    // Bayer mosaics.
    const QByteArray rggb = card("BAYERPAT", "'RGGB    '");
    save("bayer_1x1.fits", header(imageCards(16, {1, 1}) + QList<QByteArray>{rggb}) + bigEndian(ramp16(1)));
    save("bayer_2x1.fits", header(imageCards(16, {2, 1}) + QList<QByteArray>{rggb}) + bigEndian(ramp16(2)));
    save("bayer_1x1_row_offset.fits",
         header(imageCards(8, {1, 1}) + QList<QByteArray>{rggb, card("YBAYROFF", "1")}) + padded("\x40", '\0'));
    save("bayer_odd_7x5.fits", header(imageCards(16, {7, 5}) + QList<QByteArray>{card("BAYERPAT", "'GBRG    '"),
                                                                                   card("XBAYROFF", "1")}) +
                                   bigEndian(ramp16(35)));
    save("bayer_offset_too_long.fits",
         header(imageCards(16, {16, 12}) + QList<QByteArray>{rggb, card("XBAYROFF", "'" + QByteArray(40, 'g') + "'")}) +
             bigEndian(u16));
    save("bayer_offsets_beyond.fits",
         header(imageCards(16, {16, 12}) + QList<QByteArray>{rggb, card("XBAYROFF", "5"), card("YBAYROFF", "100000")}) +
             bigEndian(u16));

    // World coordinates.
    const QList<QByteArray> celestial = {card("CTYPE1", "'RA---TAN'"), card("CTYPE2", "'DEC--TAN'"),
                                         card("CRPIX1", "8.5"), card("CRPIX2", "6.5"),
                                         card("CRVAL1", "83.8"), card("CRVAL2", "-5.4")};
    save("wcs_bad_values.fits",
         header(imageCards(16, {16, 12}) + QList<QByteArray>{card("CTYPE1", "'RA---XYZ'"), card("CTYPE2", "'DEC--XYZ'"),
                                                             card("CRPIX1", "'abc'"), card("CDELT1", "0.0"),
                                                             card("CRVAL2", "1.0D999")}) +
             bigEndian(u16));
    save("wcs_singular_matrix.fits",
         header(imageCards(16, {16, 12}) + celestial +
                QList<QByteArray>{card("CD1_1", "0.0"), card("CD1_2", "0.0"), card("CD2_1", "0.0"), card("CD2_2", "0.0")}) +
             bigEndian(u16));
    save("wcs_many_axes.fits",
         header(imageCards(16, {16, 12}) + celestial + QList<QByteArray>{card("WCSAXES", "99999")}) + bigEndian(u16));
    save("wcs_8bit_comment.fits",
         header(imageCards(16, {16, 12}) + celestial +
                QList<QByteArray>{QByteArray("COMMENT N\xa7  ZSIMPLE =          ") + QByteArray(17, '\x80')}) +
             bigEndian(u16));
    save("wcs_sip_not_a_number.fits",
         header(imageCards(16, {16, 12}) + QList<QByteArray>{card("CTYPE1", "'RA---TAN-SIP'"),
                                                             card("CTYPE2", "'DEC--TAN-SIP'"), card("A_ORDER", "2"),
                                                             card("A_1_1", "'X'"), card("B_2_0", "T")}) +
             bigEndian(u16));
    save("wcs_unclosed_string.fits",
         header(imageCards(16, {16, 12}) + QList<QByteArray>{"CTYPE1  = 'RA---TAN", card("CTYPE2", "'DEC--TAN'"),
                                                             "WCSNAME = 'sky", card("CRPIX1", "8.5")}) +
             bigEndian(u16));
    save("valid_u16.fits", fitsFile(tmp, {16, {16, 12}, u16.data(), TUSHORT, {}}));
    save("valid_bayer.fits", fitsFile(tmp, {16, {16, 12}, u16.data(), TUSHORT, {"BAYERPAT= 'RGGB    '"}}));
}

void writeXisfCases()
{
    XisfFixture good;
    good.width = 4;
    good.height = 4;
    for (int i = 0; i < 16; ++i) {
        const uint16_t v = uint16_t(i * 1000);
        good.samples.append(reinterpret_cast<const char *>(&v), 2);
    }
    const QByteArray valid = xisfFile({good});
    const QByteArray rootStart = "<xisf version=\"1.0\" xmlns=\"http://www.pixinsight.com/xisf\">";
    save("xisf_wrong_signature.xisf", QByteArray(valid).replace(0, 8, "XISF0200"));
    save("xisf_header_past_end.xisf", QByteArray(valid).replace(8, 4, QByteArray("\xff\xff\x00\x00", 4)));
    save("xisf_malformed_xml.xisf", xisfContainer(rootStart + "<Image geometry=\"4:4:1\""));
    save("xisf_attachment_outside.xisf",
         xisfContainer(rootStart + "<Image geometry=\"4:4:1\" sampleFormat=\"UInt16\" location=\"attachment:4000:32\"/></xisf>"));
    {
        XisfFixture fixture = good;
        fixture.samples.chop(2);
        save("xisf_size_mismatch.xisf", xisfFile({fixture}));
    }
    {
        // The stream inflates to 64 bytes where 32 are declared.
        XisfFixture fixture = good;
        fixture.samples += fixture.samples;
        fixture.codec = QStringLiteral("zlib");
        fixture.attributes[QStringLiteral("compression")] = QStringLiteral("zlib:32");
        save("xisf_block_expands_beyond.xisf", xisfFile({fixture}));
    }
    {
        XisfFixture fixture = good;
        fixture.codec = QStringLiteral("zlib");
        fixture.shuffle = true;
        fixture.attributes[QStringLiteral("compression")] = QStringLiteral("zlib+sh:32:4");
        save("xisf_wrong_shuffle_item_size.xisf", xisfFile({fixture}));
    }
    QByteArray entities = "<!DOCTYPE xisf [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
    const char *names = "abcdefghij";
    for (int i = 1; i < 10; ++i) {
        entities += QByteArray("<!ENTITY ") + names[i] + " \"";
        for (int k = 0; k < 10; ++k)
            entities += QByteArray("&") + names[i - 1] + ";";
        entities += "\">";
    }
    entities += "]>" + rootStart + "<Image geometry=\"1:1:1\" sampleFormat=\"UInt8\" location=\"inline:hex\">&j;</Image></xisf>";
    save("xisf_entity_expansion.xisf", xisfContainer(entities));
}

void writeRawAndPictureCases()
{
    DngOptions options;
    options.sensorWidth = 32;
    options.sensorHeight = 24;
    const QByteArray dng = makeDng(options);
    save("raw_truncated.dng", dng.left(dng.size() / 3));
    DngOptions none = options;
    none.withPreview = false;
    save("raw_no_preview.dng", makeDng(none));
    DngOptions bitmap = options;
    bitmap.jpegPreview = false;
    bitmap.preview = QImage(8, 6, QImage::Format_RGB32);
    bitmap.preview.fill(Qt::green);
    save("raw_bitmap_preview.dng", makeDng(bitmap));
    DngOptions garbage = options;
    garbage.previewBytes = QByteArray("\xff\xd8\xff\xe0 this is no JPEG at all");
    save("raw_undecodable_preview.dng", makeDng(garbage));

    // A PNG whose header claims 100000 x 100000 pixels, and nothing more.
    QByteArray ihdr("IHDR");
    const uint32_t side = 100000;
    for (int i = 0; i < 2; ++i)
        for (int shift = 24; shift >= 0; shift -= 8)
            ihdr.append(char((side >> shift) & 0xff));
    ihdr.append("\x08\x02\x00\x00\x00", 5);
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    auto chunk = [&png](const QByteArray &typeAndData) {
        const uint32_t length = uint32_t(typeAndData.size() - 4);
        for (int shift = 24; shift >= 0; shift -= 8)
            png.append(char((length >> shift) & 0xff));
        png += typeAndData;
        const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(typeAndData.constData()), uInt(typeAndData.size()));
        for (int shift = 24; shift >= 0; shift -= 8)
            png.append(char((crc >> shift) & 0xff));
    };
    chunk(ihdr);
    // An empty zlib stream: the decoder reaches the image data and gives
    // its size without a single pixel behind it.
    chunk(QByteArray("IDAT\x78\x9c\x03\x00\x00\x00\x00\x01", 12));
    chunk(QByteArray("IEND"));
    save("picture_huge_declared.png", png);

    QImage picture(40, 30, QImage::Format_RGB32);
    picture.fill(QColor(10, 90, 200));
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPEG", 90);
    save("picture_truncated.jpg", jpeg.left(jpeg.size() / 2));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_malformed OUTPUT_DIR\n");
        return 2;
    }
    outDir = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir tmp;
    if (!tmp.isValid())
        return 1;
    writeFitsCases(tmp.path());
    writeXisfCases();
    writeRawAndPictureCases();
    return allWritten ? 0 : 1;
}
