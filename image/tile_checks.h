#pragma once

#include <QString>

#include "image/cfitsio.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// CFITSIO 4.2 decompresses tile-compressed HDUs trusting what the tiles
// say about themselves. These checks read the tiles first, without
// decompressing them into memory, and return why an HDU must not reach
// CFITSIO's decoders, or an empty string. Both expect the HDU's data to lie
// within the file. A CFITSIO error leaves `status` set and the reason empty:
// the decompression fails on the same grounds.

// What of a compressed image the checks read.
enum class TileScope {
    Layout,   // the table, the cells' places and the PLIO headers: no tile decoded
    Streams,  // also every Rice and GZIP stream, decoded into a small window
};

// A compressed image (the current HDU).
QString compressedImageViolation(fitsfile *input, TileScope scope, int &status);

// A compressed table (the current HDU). `keepPacked` is set for a sound
// table that CFITSIO cannot expand safely whatever it holds: its
// variable-length columns are inflated into buffers that CFITSIO sizes from
// the table itself.
QString compressedTableViolation(fitsfile *input, bool &keepPacked, int &status);

// How a tile's gzip stream ends: within its limit, beyond it, damaged or
// cut short, or (for a stream that must fill its limit) short of it.
enum class Inflation { Within, Beyond, Unsound, Short };

// Decodes a Rice stream, the first `length` bytes of `stream`, into
// `pixels` values as CFITSIO's tiles hold them (bytes as they are, two-byte
// pixels signed), after padding `stream` past `length` with 0xFF: CFITSIO's
// decoder reads up to a block's worth of bytes past a stream's end, and on
// through a run of zero bytes, which the padding ends. False when the stream
// is unsound or reaches into the padding.
bool riceDecodeBounded(std::vector<unsigned char> &stream, size_t length, size_t pixels, int blockSize,
                       int bytesPerPixel, int *values);

// Inflates a gzip stream into `out` (`outSize` bytes, which may be 0),
// counting in a small window whatever lies beyond it, until the stream ends
// or passes `limit` bytes; `total` is what it inflated to. CFITSIO grows its
// buffer for as long as a stream goes on, so the checks and the decoding
// both bound every stream by this one inflation.
Inflation inflateBounded(const unsigned char *stream, size_t length, uint64_t limit, unsigned char *out,
                         size_t outSize, uint64_t &total);
