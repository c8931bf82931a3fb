#include "image/tile_checks.h"
#include "image/cfitsio.h"
#include "xisf/run_on_pool.h"

#include <QThreadPool>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

namespace {

// The most of a stream the checks inflate at once; beyond, a window.
constexpr size_t kCheckedBytes = size_t(16) << 20;

// The stream of one tile, its limit (the bytes a GZIP stream may inflate
// to, the pixels of a Rice tile), and where it sits. An `exact` stream must
// inflate to its limit.
struct TileStream {
    std::vector<unsigned char> bytes;
    uint64_t limit = 0;
    LONGLONG row = 0;
    bool exact = false;
    Inflation verdict = Inflation::Within;
};

// CFITSIO inflates a gzip tile into a buffer that it grows in small steps
// for as long as inflating goes on, and keeps growing it when the stream
// stops without its end: a few kilobytes take gigabytes and quadratic time,
// and a cut stream never finishes. A table's fixed-width column is inflated
// into the middle of a larger buffer, which that growth hands to realloc:
// heap corruption. So every stream must end within its limit. A stream
// that claims gigabytes costs no memory here: what it holds beyond the
// first megabytes is only counted.
Inflation inflationOf(const TileStream &stream)
{
    const size_t keep = size_t(std::min<uint64_t>(stream.limit, kCheckedBytes));
    std::unique_ptr<unsigned char[]> out(new unsigned char[std::max<size_t>(keep, 1)]);
    uint64_t total = 0;
    const Inflation verdict =
        inflateBounded(stream.bytes.data(), stream.bytes.size(), stream.limit, out.get(), keep, total);
    return verdict == Inflation::Within && stream.exact && total != stream.limit ? Inflation::Short : verdict;
}

QString inflationFault(const TileStream &stream)
{
    switch (stream.verdict) {
    case Inflation::Beyond:
        return QStringLiteral("inflates beyond the %1 bytes it can take").arg(stream.limit);
    case Inflation::Short:
        return QStringLiteral("inflates to fewer than the %1 bytes of its samples").arg(stream.limit);
    case Inflation::Within:
    case Inflation::Unsound:
        break;
    }
    return QStringLiteral("is damaged or cut short");
}

// Index of the first stream that `check` finds unsound, or the count when
// none is. Tiles are independent, so they are checked on the pool, a run
// of them a task; the first in file order is reported whatever finishes
// first.
template <typename Check>
size_t firstUnsound(std::vector<TileStream> &streams, Check check)
{
    const size_t threads = size_t(std::max(1, QThreadPool::globalInstance()->maxThreadCount()));
    const size_t tasks = std::min(streams.size(), threads * 4);
    runOnPool(tasks, [&](size_t task) {
        for (size_t i = task * streams.size() / tasks; i < (task + 1) * streams.size() / tasks; ++i)
            streams[i].verdict = check(streams[i]);
    });
    const auto bad = std::find_if(streams.begin(), streams.end(),
                                  [](const TileStream &stream) { return stream.verdict != Inflation::Within; });
    return size_t(bad - streams.begin());
}

QString gzipFault(std::vector<TileStream> &streams)
{
    const size_t bad = firstUnsound(streams, inflationOf);
    if (bad == streams.size())
        return QString();
    return QStringLiteral("GZIP tile %1 %2").arg(streams[bad].row).arg(inflationFault(streams[bad]));
}

// CFITSIO's Rice decoder looks for the end of a tile's stream only after
// each block of pixels, and reads on past it until then: up to a block's
// worth of bytes, and without bound through a run of zero bytes. So a
// tile is decoded here first, from a copy followed by enough 0xFF bytes to
// end any such run and to hold a whole block's reads (no pixel takes more
// than 8 bytes); a stream that reaches into them is refused. One that does
// not is read by CFITSIO the same way, within its own bytes.
bool riceDecodesWithin(const std::vector<unsigned char> &stream, uint64_t pixels, int blockSize, int bytesPerPixel)
{
    if (pixels > uint64_t(INT_MAX))
        return false;
    std::vector<unsigned char> padded(stream);
    std::vector<int> values(static_cast<size_t>(pixels));
    return riceDecodeBounded(padded, stream.size(), size_t(pixels), blockSize, bytesPerPixel, values.data());
}

// A variable-length column of a compressed HDU's table; `column` is 0 when
// the table has none of that name.
struct Cell {
    int column = 0;
    LONGLONG elementBytes = 1;
};

Cell cellColumn(fitsfile *input, const char *name, int &status)
{
    Cell cell;
    fits_write_errmark();
    fits_get_colnum(input, CASEINSEN, const_cast<char *>(name), &cell.column, &status);
    if (status == COL_NOT_FOUND) {
        status = 0;
        cell.column = 0;
    }
    fits_clear_errmark();
    if (status || cell.column == 0)
        return cell;
    int type = 0;
    LONGLONG repeat = 0;
    fits_get_coltypell(input, cell.column, &type, &repeat, &cell.elementBytes, &status);
    return cell;
}

enum class Placement { Inside, OutsideHeap, PastFileEnd };

// Where a cell's bytes lie. A heap whose last block is cut short still
// passes the size check of the whole HDU, so the file's end is checked too.
Placement placement(const CompressedHdu &hdu, const Cell &cell, LONGLONG length, LONGLONG offset)
{
    LONGLONG bytes = 0;
    if (length < 0 || offset < 0 || cell.elementBytes < 1 || __builtin_mul_overflow(length, cell.elementBytes, &bytes))
        return Placement::OutsideHeap;
    if (bytes > hdu.heapSize || offset > hdu.heapSize - bytes)
        return Placement::OutsideHeap;
    if (bytes > 0 && hdu.dataStart + hdu.heapStart + offset + bytes > hdu.fileSize)
        return Placement::PastFileEnd;
    return Placement::Inside;
}

QString cutShort(const QString &what)
{
    return QStringLiteral("%1 is missing or cut short: the file ends before it").arg(what);
}

// The descriptors lie in the table's rows; reading them fails only where
// the file ends inside the table.
bool readDescriptor(fitsfile *input, int column, LONGLONG row, LONGLONG &length, LONGLONG &offset)
{
    int status = 0;
    fits_write_errmark();
    fits_read_descriptll(input, column, row, &length, &offset, &status);
    fits_clear_errmark();
    return status == 0;
}

// Why a tile's cell cannot be read, or an empty string.
QString misplaced(const CompressedHdu &hdu, const Cell &cell, LONGLONG length, LONGLONG offset, const QString &what)
{
    switch (placement(hdu, cell, length, offset)) {
    case Placement::OutsideHeap:
        return QStringLiteral("%1 lies outside the table's heap").arg(what);
    case Placement::PastFileEnd:
        return cutShort(what);
    case Placement::Inside:
        break;
    }
    return QString();
}

std::vector<unsigned char> readCell(fitsfile *input, int column, LONGLONG row, LONGLONG length, int &status)
{
    // A cell inside a file over 4 GiB may be longer than a 32-bit size_t.
    if (uint64_t(length) > std::numeric_limits<size_t>::max()) {
        if (status == 0)
            status = MEMORY_ALLOCATION;
        return {};
    }
    std::vector<unsigned char> bytes(static_cast<size_t>(length));
    fits_read_col(input, TBYTE, column, row, 1, length, nullptr, bytes.data(), nullptr, &status);
    return bytes;
}

// Pixels of tile `index` (0-based, first axis fastest), edge tiles cut short.
uint64_t tilePixels(const std::vector<LONGLONG> &axes, const std::vector<long> &tile, uint64_t index)
{
    uint64_t pixels = 1;
    for (size_t d = 0; d < axes.size(); ++d) {
        const uint64_t across = uint64_t((axes[d] + tile[d] - 1) / tile[d]);
        const uint64_t at = index % across;
        index /= across;
        pixels *= uint64_t(std::min<LONGLONG>(tile[d], axes[d] - LONGLONG(at) * tile[d]));
    }
    return pixels;
}

// Bytes of one row of a compressed table's column as CFITSIO lays it out
// when it expands the table, or -1 for a variable-length column; 0 when the
// column cannot be read, which CFITSIO refuses on the same grounds.
LONGLONG columnRowBytes(fitsfile *input, int column, int &status)
{
    char key[FLEN_KEYWORD] = {};
    char format[FLEN_VALUE] = {};
    fits_make_keyn("ZFORM", column, key, &status);
    fits_read_key(input, TSTRING, key, format, nullptr, &status);
    int type = 0;
    long repeat = 0, width = 0;
    fits_binary_tform(format, &type, &repeat, &width, &status);
    if (status)
        return 0;
    if (type < 0)
        return -1;
    if (type == TBIT)
        repeat = (repeat + 7) / 8;
    else if (type == TSTRING)
        width = 1;
    LONGLONG bytes = 0;
    if (repeat < 0 || width < 0 || __builtin_mul_overflow(LONGLONG(repeat), LONGLONG(width), &bytes))
        return LLONG_MAX;
    return bytes;
}

// True when CFITSIO inflates the column with gzip: ZCTYPn says so or is
// missing. Any other value but RICE_1 fails the expansion.
bool gzipColumn(fitsfile *input, int column)
{
    char key[FLEN_KEYWORD] = {};
    char value[FLEN_VALUE] = {};
    int status = 0;
    fits_make_keyn("ZCTYP", column, key, &status);
    fits_write_errmark();
    fits_read_key(input, TSTRING, key, value, nullptr, &status);
    fits_clear_errmark();
    return status != 0 || std::strcmp(value, "GZIP_1") == 0 || std::strcmp(value, "GZIP_2") == 0;
}

} // namespace

Inflation inflateBounded(const unsigned char *stream, size_t length, uint64_t limit, unsigned char *out,
                         size_t outSize, uint64_t &total)
{
    // libdeflate inflates a stream of known size about twice as fast as
    // zlib and never writes past `out`. It skips the header checksum that
    // zlib verifies (flag bit 1), so such a stream, and any that libdeflate
    // does not inflate within `out`, is inflated by zlib, whose verdicts
    // are the ones reported.
    const bool headerChecksum = length > 3 && (stream[3] & 0x02) != 0;
    if (outSize > 0 && !headerChecksum) {
        const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor *)> inflater(
            libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
        size_t inflated = 0;
        if (inflater && libdeflate_gzip_decompress(inflater.get(), stream, length, out, outSize, &inflated) ==
                            LIBDEFLATE_SUCCESS) {
            total = inflated;
            return inflated <= limit ? Inflation::Within : Inflation::Beyond;
        }
    }
    z_stream z = {};
    total = 0;
    if (inflateInit2(&z, 15 + 16) != Z_OK)
        return Inflation::Unsound;
    unsigned char window[65536];
    z.next_in = const_cast<unsigned char *>(stream);
    z.avail_in = uInt(length);
    z.next_out = out;
    z.avail_out = uInt(outSize);
    int result = outSize > 0 ? inflate(&z, Z_NO_FLUSH) : Z_OK;
    while ((result == Z_OK || result == Z_BUF_ERROR) && z.avail_out == 0 && z.total_out <= limit) {
        z.next_out = window;
        z.avail_out = sizeof window;
        result = inflate(&z, Z_NO_FLUSH);
    }
    total = z.total_out;
    inflateEnd(&z);
    if (total > limit)
        return Inflation::Beyond;
    return result == Z_STREAM_END ? Inflation::Within : Inflation::Unsound;
}

bool riceDecodeBounded(std::vector<unsigned char> &stream, size_t length, size_t pixels, int blockSize,
                       int bytesPerPixel, int *values)
{
    if (blockSize < 1 || length > size_t(INT_MAX) || pixels > size_t(INT_MAX) || length > stream.size())
        return false;
    // No pixel takes more than 8 bytes.
    stream.resize(length + std::min<size_t>(size_t(blockSize), pixels) * 8 + 16);
    std::fill(stream.begin() + std::ptrdiff_t(length), stream.end(), 0xff);
    switch (bytesPerPixel) {
    case 1: {
        std::vector<unsigned char> raw(pixels);
        if (fits_rdecomp_byte(stream.data(), int(length), raw.data(), int(pixels), blockSize) != 0)
            return false;
        std::copy(raw.begin(), raw.end(), values);
        return true;
    }
    case 2: {
        std::vector<unsigned short> raw(pixels);
        if (fits_rdecomp_short(stream.data(), int(length), raw.data(), int(pixels), blockSize) != 0)
            return false;
        std::transform(raw.begin(), raw.end(), values, [](unsigned short v) { return int(int16_t(v)); });
        return true;
    }
    default:
        return fits_rdecomp(stream.data(), int(length), reinterpret_cast<unsigned int *>(values), int(pixels),
                            blockSize) == 0;
    }
}

// CFITSIO 4.2 trusts the table of a compressed image to hold one row per
// tile, and hands each PLIO tile to a decoder that reads as many words as
// the tile's line-list header says, whatever the tile holds; so the table
// and those headers are checked first, as are GZIP tiles. Its HCOMPRESS
// decoder trusts the sizes inside a tile both for writing and for reading,
// with no bound on the bytes it reads, which cannot be checked short of
// decoding: such tiles are decoded by the image's reader itself.
QString compressedImageViolation(fitsfile *input, TileScope scope, int &status)
{
    // What CFITSIO itself has read from the header and decompresses by.
    const CompressedHdu hdu = compressedHdu(input);
    const int compression = hdu.compression;
    if (hdu.dimensions <= 0 || hdu.dimensions > MAX_COMPRESS_DIM)
        return QString();  // CFITSIO refuses these itself
    const int naxis = hdu.dimensions;
    const LONGLONG rows = hdu.rows;
    std::vector<LONGLONG> axes(size_t(naxis), 0);
    std::vector<long> tile(size_t(naxis), 0);
    for (int d = 0; d < naxis; ++d) {
        axes[size_t(d)] = hdu.axes[d];
        tile[size_t(d)] = hdu.tile[d];
        if (axes[size_t(d)] <= 0 || tile[size_t(d)] <= 0)
            return QString();
    }

    // One row per tile: CFITSIO checks this for some shapes only, and a
    // one-axis image over a table of more rows sends its decompression
    // through a column table that is no longer there.
    uint64_t tiles = 1;
    for (int d = 0; d < naxis; ++d)
        tiles *= uint64_t((axes[size_t(d)] + tile[size_t(d)] - 1) / tile[size_t(d)]);
    if (uint64_t(rows) != tiles)
        return QStringLiteral("the compressed image has %1 tiles in %2 table rows").arg(tiles).arg(rows);
    const bool decodeStreams = scope == TileScope::Streams;
    const bool gzip = compression == GZIP_1 || compression == GZIP_2;
    // CFITSIO looks its columns up only when it decompresses.
    const Cell compressed = cellColumn(input, "COMPRESSED_DATA", status);
    if (status == 0 && compressed.column == 0)
        status = COL_NOT_FOUND;
    if (status)
        return QString();  // the decompression fails on the same grounds
    // An empty row keeps its tile in one of these, read or inflated into a
    // buffer of the tile's size.
    const Cell raw = cellColumn(input, "UNCOMPRESSED_DATA", status);
    const Cell zipped = cellColumn(input, "GZIP_COMPRESSED_DATA", status);
    if (status)
        return QString();

    // Rows hold tiles in order. CFITSIO allocates what each descriptor says.
    std::vector<TileStream> streams, lossless;
    // Float tiles that could not be quantised are kept losslessly, gzipped.
    const uint64_t sampleBytes = hdu.bitpix == FLOAT_IMG ? 4 : hdu.bitpix == DOUBLE_IMG ? 8 : 0;
    for (LONGLONG row = 1; row <= rows; ++row) {
        const int column = compressed.column;
        LONGLONG length = 0, offset = 0;
        const QString tileName = QStringLiteral("compressed tile %1").arg(row);
        if (!readDescriptor(input, column, row, length, offset))
            return cutShort(tileName);
        QString fault = misplaced(hdu, compressed, length, offset, tileName);
        if (!fault.isEmpty())
            return fault;
        if (length == 0) {
            const uint64_t pixels = tilePixels(axes, tile, uint64_t(row - 1));
            for (const Cell &other : {raw, zipped}) {
                LONGLONG otherLength = 0, otherOffset = 0;
                if (other.column > 0 && !readDescriptor(input, other.column, row, otherLength, otherOffset))
                    return cutShort(tileName);
                fault = misplaced(hdu, other, otherLength, otherOffset, tileName);
                if (!fault.isEmpty())
                    return fault;
                if (other.column == raw.column && uint64_t(otherLength) > pixels)
                    return QStringLiteral("tile %1 holds %2 uncompressed samples, its pixels are %3")
                        .arg(row)
                        .arg(otherLength)
                        .arg(pixels);
                // CFITSIO reads this column only without the other. It
                // converts what it inflates by the size it gets: four-byte
                // samples in a double image go through a float buffer it
                // never allocated.
                if (decodeStreams && other.column == zipped.column && other.column > 0 && raw.column == 0 &&
                    sampleBytes > 0) {
                    lossless.push_back({readCell(input, other.column, row, otherLength, status), pixels * sampleBytes,
                                        row, true});
                    if (status)
                        return QString();
                }
            }
            continue;
        }
        if (gzip || compression == RICE_1) {
            if (!decodeStreams)
                continue;
            // No tile holds more than 8 bytes a pixel.
            const uint64_t pixels = tilePixels(axes, tile, uint64_t(row - 1));
            streams.push_back({readCell(input, column, row, length, status), gzip ? pixels * 8 : pixels, row});
            if (status)
                return QString();
            continue;
        }
        if (compression != PLIO_1)
            continue;
        // A line list: words 3, or 4 and 5, give its length and word 2
        // where it starts; an opcode 1 takes the word after it too.
        short head[5] = {};
        const LONGLONG words = std::min<LONGLONG>(length, 5);
        fits_read_col(input, TSHORT, column, row, 1, words, nullptr, head, nullptr, &status);
        if (status)
            return QString();
        const bool shortForm = words >= 3 && head[2] > 0;
        if (!shortForm && words < 5)
            return QStringLiteral("PLIO tile %1 holds %2 words, too few for its header").arg(row).arg(length);
        const int64_t listLength = shortForm ? head[2] : int64_t(head[4]) * 32768 + head[3];
        const int64_t first = shortForm ? 4 : int64_t(head[1]) + 1;
        if (listLength <= 0)
            continue;
        short last = 0;
        if (listLength <= length)
            fits_read_col(input, TSHORT, column, row, LONGLONG(listLength), 1, nullptr, &last, nullptr, &status);
        if (status)
            return QString();
        if (first < 1 || listLength > length || (listLength == length && last / 4096 == 1))
            return QStringLiteral("PLIO tile %1 declares a line list of %2 words, it holds %3")
                .arg(row)
                .arg(listLength)
                .arg(length);
    }
    if (compression == RICE_1) {
        const int blockSize = hdu.riceBlock, bytesPerPixel = hdu.riceBytes;
        const size_t bad = firstUnsound(streams, [blockSize, bytesPerPixel](const TileStream &tile) {
            return riceDecodesWithin(tile.bytes, tile.limit, blockSize, bytesPerPixel) ? Inflation::Within
                                                                                      : Inflation::Unsound;
        });
        if (bad < streams.size())
            return QStringLiteral("Rice tile %1 is damaged or cut short").arg(streams[bad].row);
    } else {
        const QString fault = gzipFault(streams);
        if (!fault.isEmpty())
            return fault;
    }
    return gzipFault(lossless);
}

QString compressedTableViolation(fitsfile *input, bool &keepPacked, int &status)
{
    keepPacked = false;
    LONGLONG rows = 0, tileRows = 0, tableRows = 0;
    int columns = 0;
    fits_read_key(input, TLONGLONG, "ZNAXIS2", &rows, nullptr, &status);
    fits_read_key(input, TLONGLONG, "ZTILELEN", &tileRows, nullptr, &status);
    fits_get_num_rowsll(input, &tableRows, &status);
    fits_get_num_cols(input, &columns, &status);
    if (status || rows <= 0)
        return QString();
    // CFITSIO steps through the rows a tile at a time: no step, no end.
    if (tileRows < 1)
        return QStringLiteral("ZTILELEN is not a count of 1 or more");
    const LONGLONG perTile = std::min(tileRows, rows);
    const LONGLONG tiles = (rows + perTile - 1) / perTile;
    if (tiles != tableRows)
        return QStringLiteral("the compressed table has %1 tiles in %2 table rows").arg(tiles).arg(tableRows);

    // CFITSIO expands each tile into a buffer of ZNAXIS1 bytes a row and
    // places the columns in it by their own widths.
    LONGLONG width = 0;
    fits_read_key(input, TLONGLONG, "ZNAXIS1", &width, nullptr, &status);
    std::vector<LONGLONG> rowBytes(size_t(columns), 0);
    LONGLONG columnsWidth = 0;
    for (int column = 1; column <= columns; ++column) {
        const LONGLONG bytes = columnRowBytes(input, column, status);
        if (status)
            return QString();
        if (bytes < 0) {
            keepPacked = true;
            return QString();
        }
        rowBytes[size_t(column - 1)] = bytes;
        if (__builtin_add_overflow(columnsWidth, bytes, &columnsWidth))
            columnsWidth = LLONG_MAX;
    }
    if (columnsWidth != width)
        return QStringLiteral("the columns of the compressed table take %1 bytes a row, ZNAXIS1 says %2")
            .arg(columnsWidth)
            .arg(width);

    std::vector<TileStream> streams;
    std::vector<int> streamColumns;
    const CompressedHdu hdu = compressedHdu(input);
    for (int column = 1; column <= columns; ++column) {
        const LONGLONG bytes = rowBytes[size_t(column - 1)];
        // Rice decoding is bounded by the column's own size.
        if (bytes == 0 || !gzipColumn(input, column))
            continue;
        for (LONGLONG tile = 1; tile <= tiles; ++tile) {
            LONGLONG length = 0, offset = 0;
            const QString cellName = QStringLiteral("compressed table column %1, tile %2").arg(column).arg(tile);
            if (!readDescriptor(input, column, tile, length, offset))
                return cutShort(cellName);
            const QString fault = misplaced(hdu, Cell{column, 1}, length, offset, cellName);
            if (!fault.isEmpty())
                return fault;
            const LONGLONG tileRowCount = std::min(perTile, rows - (tile - 1) * perTile);
            uint64_t limit = 0;
            if (__builtin_mul_overflow(uint64_t(bytes), uint64_t(tileRowCount), &limit))
                limit = UINT64_MAX;
            streams.push_back({readCell(input, column, tile, length, status), limit, tile});
            streamColumns.push_back(column);
            if (status)
                return QString();
        }
    }
    const size_t bad = firstUnsound(streams, inflationOf);
    if (bad < streams.size())
        return QStringLiteral("compressed table column %1, tile %2, %3")
            .arg(streamColumns[bad])
            .arg(streams[bad].row)
            .arg(inflationFault(streams[bad]));
    return QString();
}
