#pragma once

#include <QString>

#include "image/cfitsio.h"

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
