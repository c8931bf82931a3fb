#include "image/tile_decoding.h"
#include "image/tile_checks.h"
#include "xisf/run_on_pool.h"

#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Rows [firstRow, endRow) of one plane, a whole number of tile rows.
struct Band {
    int plane = 0;
    int firstRow = 0;
    int endRow = 0;
    int status = 0;
    QString reason;  // why a tile decoded here is unsound
};

// Enough bands for every pool thread to take several, so that a slow band
// holds nobody up, and few enough that opening a handle for each costs
// nothing next to its tiles.
constexpr int kBandsPerThread = 4;

std::vector<Band> bandsOf(const TiledRegion &region, int tileRows)
{
    const int threads = std::max(1, QThreadPool::globalInstance()->maxThreadCount());
    const int tilesDown = (region.height + tileRows - 1) / tileRows;
    const int tilesPerBand = std::max(1, tilesDown / (threads * kBandsPerThread));
    std::vector<Band> bands;
    for (int plane = 0; plane < region.planes; ++plane) {
        for (int row = 0; row < region.height; row += tilesPerBand * tileRows)
            bands.push_back({plane, row, std::min(region.height, row + tilesPerBand * tileRows), 0, QString()});
    }
    return bands;
}

// Floats stored as integers, one scale and zero a tile, restored as CFITSIO
// restores them for a float or double read.
bool quantisedFloats(const CompressedHdu &hdu, int readType)
{
    const bool sameType = (hdu.bitpix == FLOAT_IMG && readType == TFLOAT) ||
                          (hdu.bitpix == DOUBLE_IMG && readType == TDOUBLE);
    return sameType && hdu.quantiseLevel != kFitsNoQuantise && hdu.scaleColumn != 0 && hdu.zeroColumn != 0 &&
           hdu.bscale == 1.0 && hdu.bzero == 0.0;
}

// Tiles decoded here rather than by CFITSIO: integer images and quantised
// floats of Rice, GZIP or (integers only) HCOMPRESS tiles with nothing kept
// aside uncompressed. CFITSIO's Rice decoder reads past a stream's end, and
// its HCOMPRESS decoder trusts the sizes a tile gives and reads without any
// bound; here each is handed a copy padded far enough for whatever it may
// read, after the tile's own header is checked against the tile. A GZIP
// tile is inflated here into a buffer of the most its pixels can take
// (CFITSIO grows its buffer for as long as a stream goes on). And every such
// tile is decoded once: the check of its stream is its decoding. Other
// images (PLIO, lossless floats) are decoded by CFITSIO after the checks.
bool decodedHere(const CompressedHdu &hdu, int readType)
{
    const bool integers = hdu.bitpix == BYTE_IMG || hdu.bitpix == SHORT_IMG || hdu.bitpix == LONG_IMG;
    const bool quantised = quantisedFloats(hdu, readType);
    const bool codec = hdu.compression == RICE_1 || hdu.compression == GZIP_1 || hdu.compression == GZIP_2 ||
                       (hdu.compression == HCOMPRESS_1 && integers);
    const bool unscaled = hdu.scaleColumn == 0 && hdu.zeroColumn == 0;
    const bool plainTiles = (quantised || unscaled) && hdu.uncompressedColumn <= 0 && hdu.losslessColumn <= 0;
    return codec && (integers || quantised) && plainTiles && hdu.compressedColumn > 0;
}

// How one tile's integers become floats: its scale and zero, the integer
// that stands for a blank pixel, and where its dithering starts in the
// random table.
struct Quantisation {
    double scale = 1.0;
    double zero = 0.0;
    bool blanks = false;
    int blank = 0;
    bool dithered = false;
    bool zeroKept = false;  // SUBTRACTIVE_DITHER_2: exact zeros stored as such
    int firstRandom = 0;
};

// The tile's floats, as CFITSIO's dithered and plain conversions compute
// them (the same expressions in the same order, so the same roundings),
// blank pixels NaN.
template <typename Out>
void unquantise(const std::vector<int> &values, const Quantisation &q, std::vector<Out> &out)
{
    out.resize(values.size());
    const Out blank = std::numeric_limits<Out>::quiet_NaN();
    const float *randoms = fits_rand_value;
    int seed = q.firstRandom;
    int next = q.dithered ? int(randoms[seed] * 500) : 0;
    for (size_t i = 0; i < values.size(); ++i) {
        const int value = values[i];
        if (q.blanks && value == q.blank) {
            out[i] = blank;
        } else if (!q.dithered) {
            out[i] = Out(value * q.scale + q.zero);
        } else if (q.zeroKept && value == kFitsZeroValue) {
            out[i] = Out(0.0);
        } else {
            out[i] = Out((double(value) - randoms[next] + 0.5) * q.scale + q.zero);
        }
        if (q.dithered && ++next == kFitsRandoms) {
            if (++seed == kFitsRandoms)
                seed = 0;
            next = int(randoms[seed] * 500);
        }
    }
}

// The quantisation of table row `row` (one tile): its scale and zero from
// their columns or keywords, its blank from ZBLANK (without one, no value
// is blank: quantising writes one whenever it stores a NaN).
Quantisation quantisationOf(fitsfile *file, const CompressedHdu &hdu, LONGLONG row, int &status)
{
    Quantisation q;
    q.scale = hdu.scale;
    q.zero = hdu.zero;
    if (hdu.scaleColumn > 0)
        fits_read_col(file, TDOUBLE, hdu.scaleColumn, row, 1, 1, nullptr, &q.scale, nullptr, &status);
    if (hdu.zeroColumn > 0)
        fits_read_col(file, TDOUBLE, hdu.zeroColumn, row, 1, 1, nullptr, &q.zero, nullptr, &status);
    q.blanks = hdu.blankColumn != 0;
    q.blank = hdu.blank;
    if (hdu.blankColumn > 0)
        fits_read_col(file, TINT, hdu.blankColumn, row, 1, 1, nullptr, &q.blank, nullptr, &status);
    q.dithered = hdu.quantiseMethod == SUBTRACTIVE_DITHER_1 || hdu.quantiseMethod == SUBTRACTIVE_DITHER_2;
    q.zeroKept = hdu.quantiseMethod == SUBTRACTIVE_DITHER_2;
    // readTiledImage refuses a ZDITHER0 below 1.
    q.firstRandom = int((row + hdu.ditherSeed - 2) % kFitsRandoms);
    return q;
}

template <typename Out>
void copyRows(const std::vector<Out> &tile, size_t stride, int width, int height, uint8_t *at, size_t rowBytes)
{
    for (int y = 0; y < height; ++y)
        std::memcpy(at + size_t(y) * rowBytes, tile.data() + size_t(y) * stride, size_t(width) * sizeof(Out));
}

// A decoded tile's stored values converted as CFITSIO converts them with
// BSCALE and BZERO into the requested type; false when a value does not
// fit it (CFITSIO's NUM_OVERFLOW).
template <typename Out, typename Raw>
bool convertSamples(const Raw *raw, size_t count, double scale, double zero, Out *out)
{
    bool fits = true;
    if constexpr (std::is_floating_point<Out>::value) {
        for (size_t i = 0; i < count; ++i)
            out[i] = Out(double(raw[i]) * scale + zero);
    } else if (scale == 1.0 && (zero == 0.0 || zero == 32768.0 || zero == 2147483648.0)) {
        // The usual offsets in integers: the same values, without a double
        // for every sample.
        const int64_t offset = int64_t(zero);
        for (size_t i = 0; i < count; ++i) {
            const int64_t value = int64_t(raw[i]) + offset;
            const bool inside = value >= int64_t(std::numeric_limits<Out>::min()) &&
                                value <= int64_t(std::numeric_limits<Out>::max());
            fits &= inside;
            out[i] = inside ? Out(value)
                            : value < 0 ? std::numeric_limits<Out>::min() : std::numeric_limits<Out>::max();
        }
    } else {
        const double low = double(std::numeric_limits<Out>::min()) - 0.49;
        const double high = double(std::numeric_limits<Out>::max()) + 0.49;
        for (size_t i = 0; i < count; ++i) {
            const double value = double(raw[i]) * scale + zero;
            if (value < low) {
                fits = false;
                out[i] = std::numeric_limits<Out>::min();
            } else if (value > high) {
                fits = false;
                out[i] = std::numeric_limits<Out>::max();
            } else {
                out[i] = Out(value);
            }
        }
    }
    return fits;
}

// One tile of `width` x `height` stored values, first row first.
struct DecodedTile {
    int width = 0;
    int height = 0;
    std::vector<int> values;
};

// Places `width` x `height` of a tile whose rows are `stride` values long.
template <typename Raw>
bool placeRows(const Raw *raw, size_t stride, int width, int height, int readType, double scale, double zero,
               uint8_t *at, size_t rowBytes)
{
    bool fits = true;
    for (int y = 0; y < height; ++y) {
        const Raw *from = raw + size_t(y) * stride;
        uint8_t *to = at + size_t(y) * rowBytes;
        switch (readType) {
        case TBYTE:
            fits &= convertSamples(from, size_t(width), scale, zero, to);
            break;
        case TUSHORT:
            fits &= convertSamples(from, size_t(width), scale, zero, reinterpret_cast<uint16_t *>(to));
            break;
        case TUINT:
            fits &= convertSamples(from, size_t(width), scale, zero, reinterpret_cast<uint32_t *>(to));
            break;
        case TFLOAT:
            fits &= convertSamples(from, size_t(width), scale, zero, reinterpret_cast<float *>(to));
            break;
        default:
            return false;
        }
    }
    return fits;
}

int readInt32(const std::vector<unsigned char> &bytes, size_t at)
{
    return int(uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 |
               uint32_t(bytes[at + 3]));
}

// The HCOMPRESS stream header: magic, two sizes, scale, the sum of all
// pixels, and the bit planes of three quadrant groups.
constexpr size_t kHcompressHead = 2 + 4 + 4 + 4 + 8 + 3;

// Bytes the HCOMPRESS decoder may read for a tile of `rows` x `columns`
// with these bit planes, whatever the stream holds: each bit plane of each
// quadrant reads a 4-bit code and then either 4 bits for every 2 x 2 block
// or a Huffman code of at most 6 bits for every node of a quadtree over
// the blocks (fewer than twice as many nodes as blocks); then an end code,
// and one sign bit a pixel. Counted generously, 2 bytes a block.
size_t hcompressReadBound(int rows, int columns, const unsigned char planes[3])
{
    const size_t halfRows[2] = {size_t(rows + 1) / 2, size_t(rows) / 2};
    const size_t halfColumns[2] = {size_t(columns + 1) / 2, size_t(columns) / 2};
    size_t bound = kHcompressHead + 16;
    for (int q = 0; q < 4; ++q) {
        const size_t qr = halfRows[q >> 1], qc = halfColumns[q & 1];
        const size_t blocks = ((qr + 1) / 2 + 1) * ((qc + 1) / 2 + 1);
        const unsigned char bitPlanes = planes[q == 0 ? 0 : q == 3 ? 2 : 1];
        bound += size_t(bitPlanes) * (2 * blocks + 8);
    }
    return bound + size_t(rows) * size_t(columns) / 8 + 8;
}

// Inflates a GZIP tile of an integer image: big-endian samples of 1, 2 or
// 4 bytes, as many as the tile has pixels, their bytes grouped by
// significance for GZIP_2. A stream may inflate to 8 bytes a pixel before
// it is refused as CFITSIO's checks refuse it; what lies beyond the 4 an
// integer sample can take is only counted, in a small window.
QString inflateTile(bool shuffled, const std::vector<unsigned char> &stream, size_t length, DecodedTile &tile)
{
    const size_t pixels = size_t(tile.width) * size_t(tile.height);
    const uint64_t limit = uint64_t(pixels) * 8;
    std::vector<unsigned char> bytes(pixels * 4);
    uint64_t total = 0;
    switch (inflateBounded(stream.data(), length, limit, bytes.data(), bytes.size(), total)) {
    case Inflation::Beyond:
        return QStringLiteral("inflates beyond the %1 bytes it can take").arg(limit);
    case Inflation::Unsound:
    case Inflation::Short:
        return QStringLiteral("is damaged or cut short");
    case Inflation::Within:
        break;
    }
    const uint64_t width = pixels ? total / pixels : 0;
    if (pixels == 0 || total % pixels || (width != 1 && width != 2 && width != 4))
        return QStringLiteral("inflates to %1 bytes, no whole number of integer samples").arg(total);
    for (size_t i = 0; i < pixels; ++i) {
        uint32_t value = 0;
        for (size_t b = 0; b < width; ++b)
            value = value << 8 | (shuffled ? bytes[b * pixels + i] : bytes[i * width + b]);
        // One- and two-byte tiles hold CFITSIO's TBYTE and TSHORT.
        tile.values[i] = width == 1 ? int(value) : width == 2 ? int(int16_t(value)) : int(int32_t(value));
    }
    return QString();
}

// Decodes one tile's stream into `tile` (sized beforehand); an empty string
// when it went well, else why the tile is unsound.
QString decodeTile(const CompressedHdu &hdu, std::vector<unsigned char> &stream, size_t length, DecodedTile &tile)
{
    const size_t pixels = size_t(tile.width) * size_t(tile.height);
    if (hdu.compression == RICE_1)
        return riceDecodeBounded(stream, length, pixels, hdu.riceBlock, hdu.riceBytes, tile.values.data())
                   ? QString()
                   : QStringLiteral("is damaged or cut short");

    if (hdu.compression == GZIP_1 || hdu.compression == GZIP_2)
        return inflateTile(hdu.compression == GZIP_2, stream, length, tile);

    // HCOMPRESS: the decoder takes no length. Its header must describe this
    // tile, and every writer makes tiles of at least 4 x 4 pixels, below
    // which the decoder's quadrants come out empty and it writes past them.
    if (length < kHcompressHead || stream[0] != 0xDD || stream[1] != 0x99)
        return QStringLiteral("does not start as an HCOMPRESS stream");
    const int rows = readInt32(stream, 2), columns = readInt32(stream, 6);
    if (rows != tile.height || columns != tile.width)
        return QStringLiteral("says it holds %1 x %2 pixels, the tile has %3 x %4")
            .arg(columns)
            .arg(rows)
            .arg(tile.width)
            .arg(tile.height);
    if (rows < 4 || columns < 4)
        return QStringLiteral("is smaller than 4 x 4 pixels");
    const unsigned char planes[3] = {stream[22], stream[23], stream[24]};
    const int maxPlanes = hdu.bitpix == LONG_IMG ? 64 : 32;
    if (planes[0] > maxPlanes || planes[1] > maxPlanes || planes[2] > maxPlanes)
        return QStringLiteral("has more bit planes than its samples");
    stream.resize(std::max(length, hcompressReadBound(rows, columns, planes)) + 8);
    std::fill(stream.begin() + std::ptrdiff_t(length), stream.end(), 0);
    int status = 0, nx = 0, ny = 0, scale = 0;
    if (hdu.bitpix == LONG_IMG) {
        // The 64-bit decoder packs its results back into ints in place.
        std::vector<LONGLONG> wide(pixels);
        fits_hdecompress64(stream.data(), hdu.hcompressSmooth, wide.data(), &nx, &ny, &scale, &status);
        std::memcpy(tile.values.data(), wide.data(), pixels * sizeof(int));
    } else {
        fits_hdecompress(stream.data(), hdu.hcompressSmooth, tile.values.data(), &nx, &ny, &scale, &status);
    }
    return status ? QStringLiteral("is damaged (%1)").arg(fitsErrorText(status)) : QString();
}

// Decodes the tiles of one band here and places them; `reason` names the
// first unsound tile.
void decodeBandHere(fitsfile *file, const Band &band, const TiledRegion &region, int readType, int bytesPerSample,
                    uint8_t *out, QString &reason, int &status)
{
    const CompressedHdu hdu = compressedHdu(file);
    const int naxis = hdu.dimensions;
    const long tileWidth = hdu.tile[0], tileHeight = hdu.tile[1];
    const LONGLONG across = (hdu.axes[0] + tileWidth - 1) / tileWidth;
    const LONGLONG down = (hdu.axes[1] + tileHeight - 1) / tileHeight;
    const size_t rowBytes = size_t(region.width) * size_t(bytesPerSample);
    const size_t planeBytes = rowBytes * size_t(region.height);
    const char *codec = hdu.compression == RICE_1 ? "Rice" : hdu.compression == HCOMPRESS_1 ? "HCOMPRESS" : "GZIP";
    const bool quantised = quantisedFloats(hdu, readType);
    std::vector<unsigned char> stream;
    DecodedTile tile;
    std::vector<float> floats;
    std::vector<double> doubles;
    bool fits = true;
    for (int y = band.firstRow; y < band.endRow && status == 0; y += int(tileHeight)) {
        const LONGLONG tileRow = y / tileHeight + down * (naxis >= 3 ? band.plane : 0);
        for (LONGLONG x = 0; x < across && status == 0; ++x) {
            const LONGLONG row = tileRow * across + x + 1;
            LONGLONG length = 0, offset = 0;
            fits_read_descriptll(file, hdu.compressedColumn, row, &length, &offset, &status);
            stream.resize(size_t(std::max<LONGLONG>(length, 0)));
            fits_read_col(file, TBYTE, hdu.compressedColumn, row, 1, length, nullptr, stream.data(), nullptr, &status);
            if (status)
                return;
            tile.width = int(std::min<LONGLONG>(tileWidth, hdu.axes[0] - x * tileWidth));
            tile.height = int(std::min<LONGLONG>(tileHeight, hdu.axes[1] - LONGLONG(y)));
            tile.values.assign(size_t(tile.width) * size_t(tile.height), 0);
            const QString fault = decodeTile(hdu, stream, size_t(length), tile);
            if (!fault.isEmpty()) {
                reason = QStringLiteral("%1 tile %2 %3").arg(QLatin1String(codec)).arg(row).arg(fault);
                return;
            }
            // Only the part of the tile inside the region is kept.
            const int width = std::min(tile.width, region.width - int(x * tileWidth));
            const int height = std::min(tile.height, region.height - y);
            if (width <= 0 || height <= 0)
                continue;
            uint8_t *at = out + size_t(band.plane) * planeBytes + size_t(y) * rowBytes +
                          size_t(x * tileWidth) * size_t(bytesPerSample);
            if (quantised) {
                const Quantisation q = quantisationOf(file, hdu, row, status);
                if (status)
                    return;
                if (readType == TFLOAT) {
                    unquantise(tile.values, q, floats);
                    copyRows(floats, size_t(tile.width), width, height, at, rowBytes);
                } else {
                    unquantise(tile.values, q, doubles);
                    copyRows(doubles, size_t(tile.width), width, height, at, rowBytes);
                }
                continue;
            }
            fits &= placeRows(tile.values.data(), size_t(tile.width), width, height, readType, hdu.bscale,
                              hdu.bzero, at, rowBytes);
        }
    }
    if (status == 0 && !fits)
        status = NUM_OVERFLOW;
}

} // namespace

bool readTiledImage(fitsfile *file, void *bytes, size_t size, const TiledRegion &region, int readType,
                    int bytesPerSample, uint8_t *out, QString &reason, int &status)
{
    const CompressedHdu compressed = compressedHdu(file);
    const int naxis = compressed.dimensions;
    // A tile that spans planes is decoded whole by every band that touches
    // it: such an image is read as one band per plane, by CFITSIO.
    const bool planeTiles = naxis < 3 || compressed.tile[2] == 1;
    const bool here = planeTiles && decodedHere(compressed, readType);
    if (here && quantisedFloats(compressed, readType) && fits_init_randoms() != 0) {
        status = MEMORY_ALLOCATION;
        return false;
    }
    // CFITSIO reads each tile's descriptor from the COMPRESSED_DATA column
    // it found, and from column 0, before its column table, when it found
    // none.
    if (compressed.compressedColumn < 1) {
        reason = QStringLiteral("the compressed image has no COMPRESSED_DATA column");
        return false;
    }
    if (compressed.compression == HCOMPRESS_1 && !here) {
        reason = QStringLiteral("HCOMPRESS tiles are read only from integer images in flat tiles that keep "
                                "none aside: CFITSIO's decoder does not bound its reads of a damaged tile");
        return false;
    }
    // Tiles decoded here are checked by their decoding.
    reason = compressedImageViolation(file, here ? TileScope::Layout : TileScope::Streams, status);
    if (status || !reason.isEmpty())
        return false;
    // A dithered tile's random numbers start at its row plus ZDITHER0, less
    // 2, in CFITSIO's table: below 1 it reads before the table.
    const bool dithered = compressed.quantiseMethod == SUBTRACTIVE_DITHER_1 ||
                          compressed.quantiseMethod == SUBTRACTIVE_DITHER_2;
    if (compressed.bitpix < 0 && compressed.scaleColumn != 0 && compressed.quantiseLevel != kFitsNoQuantise &&
        dithered && compressed.ditherSeed < 1) {
        reason = QStringLiteral("ZDITHER0 is %1, not 1 or more").arg(compressed.ditherSeed);
        return false;
    }
    int hdu = 0;
    fits_get_hdu_num(file, &hdu);
    const int tileRows = int(std::max<long>(1, compressed.tile[1]));
    std::vector<Band> bands = planeTiles ? bandsOf(region, tileRows) : std::vector<Band>();
    for (int plane = 0; !planeTiles && plane < region.planes; ++plane)
        bands.push_back({plane, 0, region.height, 0, QString()});

    const size_t rowBytes = size_t(region.width) * size_t(bytesPerSample);
    const size_t planeBytes = rowBytes * size_t(region.height);
    runOnPool(bands.size(), [&](size_t index) {
        Band &band = bands[index];
        // CFITSIO reads a memory file through the addresses of its buffer
        // pointer and size, which must live as long as the handle.
        void *address = bytes;
        size_t length = size;
        fitsfile *opened = nullptr;
        fits_open_memfile(&opened, "", READONLY, &address, &length, 0, fitsMemoryFileResize, &band.status);
        const FitsPtr own(opened);
        fits_movabs_hdu(own.get(), hdu, nullptr, &band.status);
        if (band.status)
            return;
        if (here) {
            decodeBandHere(own.get(), band, region, readType, bytesPerSample, out, band.reason, band.status);
            return;
        }
        std::vector<long> first(size_t(naxis), 1), last(size_t(naxis), 1), step(size_t(naxis), 1);
        last[0] = region.width;
        first[1] = band.firstRow + 1;
        last[1] = band.endRow;
        if (naxis >= 3)
            first[2] = last[2] = band.plane + 1;
        uint8_t *at = out + size_t(band.plane) * planeBytes + size_t(band.firstRow) * rowBytes;
        // Blank pixels of a floating-point image are NaN, as its expansion
        // wrote them; an integer image's keep their stored value.
        const double nanDouble = std::numeric_limits<double>::quiet_NaN();
        const float nanFloat = std::numeric_limits<float>::quiet_NaN();
        const void *blank = compressed.bitpix >= 0 ? nullptr : readType == TDOUBLE ? static_cast<const void *>(&nanDouble)
                                                                                    : static_cast<const void *>(&nanFloat);
        int anyNull = 0;
        fits_read_subset(own.get(), readType, first.data(), last.data(), step.data(), const_cast<void *>(blank), at,
                         &anyNull, &band.status);
    });
    // The first failure in file order, whichever band finished first; a
    // value too large for the type is no failure of the file and is
    // reported only when nothing else is.
    for (const Band &band : bands) {
        if (!band.reason.isEmpty() || (band.status && band.status != NUM_OVERFLOW)) {
            reason = band.reason;
            status = band.reason.isEmpty() ? band.status : 0;
            return false;
        }
    }
    for (const Band &band : bands) {
        if (band.status) {
            status = band.status;
            return false;
        }
    }
    return true;
}
