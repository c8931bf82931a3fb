#pragma once

// Everything the image code needs from CFITSIO beyond fitsio.h: the handle
// that closes itself, the guard over its message stack, its failures as
// text, the sizes of the format, its names for our sample types, and the
// few routines it exports without declaring them publicly.

#include "image/image_types.h"

#include <QString>

#include <fitsio.h>

#include <cstdint>
#include <memory>

struct FitsCloser {
    void operator()(fitsfile *f) const;
};
using FitsPtr = std::unique_ptr<fitsfile, FitsCloser>;

// CFITSIO keeps the messages of every failed call on a process-wide stack
// that the next error report prints. Code that turns failures into its own
// reasons, or that asks for keywords that are usually absent, drops the
// messages it caused by holding one of these for the calls' duration.
struct ErrorMessageMark {
    ErrorMessageMark() { fits_write_errmark(); }
    ~ErrorMessageMark() { fits_clear_errmark(); }
    ErrorMessageMark(const ErrorMessageMark &) = delete;
    ErrorMessageMark &operator=(const ErrorMessageMark &) = delete;
};

// FITS files are made of blocks of this many bytes, headers of cards of
// this many characters.
constexpr int64_t kFitsBlock = 2880;
constexpr int kFitsCardBytes = 80;

// The header of the current HDU as CFITSIO's header text (free it with
// fits_free_memory), a tile-compressed image's as the image it holds. What
// fits_convert_hdr2str does, without the image it declares: that routine
// writes the header into a memory file, which closing pads to the full
// size of the image, tens of megabytes for a header.
int fitsHeaderText(fitsfile *file, int excludeCommentary, char **header, int *cardCount, int *status);

// The reallocation function for every memory file opened on a buffer from
// malloc. Moving to the last HDU of a memory file, CFITSIO stretches the
// file to the end that HDU declares; without a reallocation function it
// takes the new size without the memory behind it, and then reads past the
// buffer. This one lets the size shrink and refuses growth, so that such a
// move fails with MEMORY_ALLOCATION instead.
void *fitsMemoryFileResize(void *buffer, size_t size);
// The reason for a failure of a memory file's open or move: what
// MEMORY_ALLOCATION means there, or fitsStatusText.
QString memoryFileStatusText(int status);

// CFITSIO's short text for a status, e.g. "error uncompressing image".
QString fitsErrorText(int status);
// The same with the code, as failures are reported: "... (CFITSIO status 414)".
QString fitsStatusText(int status);

// CFITSIO's data type code for reading samples of `type` into a buffer of
// that type (TUINT for 4-byte unsigned samples: its TULONG is the 8-byte C
// long), 0 for None.
int fitsDatatypeOf(SampleType type);

// What only CFITSIO's file structure holds: no routine of its interface
// reads or sets these, so they touch the structure's fields, in
// cfitsio_internals.cpp alone.
// The size CFITSIO takes the open file to have, its logical size: the
// loader holds the data a header declares against it before CFITSIO reads
// any.
int64_t fitsFileSize(fitsfile *file);
// Takes write access away from a file CFITSIO created, so that closing it
// neither pads its data to what the header declares nor writes anything;
// CFITSIO has no routine that drops write access from an open file.
void fitsMakeReadOnly(fitsfile *file);

// Routines CFITSIO exports but declares only in its internal header
// fitsio2.h, and there without C linkage for C++.
extern "C" {
// The byte reader: large blocks straight into the caller's buffer, from
// disk or memory, after flushing whatever CFITSIO's own buffers hold of
// them. The plain image read uses it to skip a per-sample conversion.
int ffgbyt(fitsfile *fptr, LONGLONG nbytes, void *buffer, int *status);
// The Rice decoders: the tile checks and the tile decoding call them on
// copies padded against their reads past a stream's end.
int fits_rdecomp(unsigned char *c, int clen, unsigned int array[], int nx, int nblock);
int fits_rdecomp_short(unsigned char *c, int clen, unsigned short array[], int nx, int nblock);
int fits_rdecomp_byte(unsigned char *c, int clen, unsigned char array[], int nx, int nblock);
// The table of random numbers that dithered quantisation of floats draws
// from (fits_rand_value, filled once by fits_init_randoms): the tile
// decoding restores a dithered tile's floats exactly as CFITSIO does from
// the integers it has just decoded, instead of letting CFITSIO decode the
// whole tile a second time.
extern float *fits_rand_value;
int fits_init_randoms(void);
}
// Constants of that quantisation, defined only inside CFITSIO: the size of
// the random table, the ZQUANTIZ of a lossless float image, and the value
// SUBTRACTIVE_DITHER_2 stores for an exact 0.
constexpr int kFitsRandoms = 10000;
constexpr float kFitsNoQuantise = 9999;
constexpr int kFitsZeroValue = -2147483646;
// ffmbyt's flag (REPORT_EOF in fitsio2.h): a position past the end fails.
constexpr int kFitsReportEndOfFile = 0;

// What CFITSIO read from the header and table of a compressed HDU when it
// moved to it, which it decompresses by: the tile checks and the tile
// decoding judge and decode the tiles by the same values, not by their own
// reading of the keywords. CFITSIO keeps them only in its file structure
// (FITSfile), which fitsio.h shows but no routine reads out;
// image/cfitsio_internals.cpp is the one place that relies on its layout.
struct CompressedHdu {
    int compression = 0;  // RICE_1, GZIP_1, ...
    int bitpix = 0;       // the image's (ZBITPIX)
    int dimensions = 0;   // ZNAXIS
    long axes[MAX_COMPRESS_DIM] = {};
    long tile[MAX_COMPRESS_DIM] = {};
    LONGLONG rows = 0;  // of the table, one a tile
    int riceBlock = 0;
    int riceBytes = 0;
    int hcompressSmooth = 0;
    // Columns (0: none; -1 for the scale, zero and blank: a keyword gives
    // one value for every tile).
    int compressedColumn = 0;
    int uncompressedColumn = 0;
    int losslessColumn = 0;  // GZIP_COMPRESSED_DATA
    int scaleColumn = 0;
    int zeroColumn = 0;
    int blankColumn = 0;
    double scale = 1.0;
    double zero = 0.0;
    int blank = 0;
    double bscale = 1.0;  // of the image
    double bzero = 0.0;
    int quantiseMethod = 0;
    float quantiseLevel = 0;
    int ditherSeed = 0;
    // Where the table's heap lies: from the start of the file to the data,
    // from there to the heap, and the file's size.
    LONGLONG dataStart = 0;
    LONGLONG heapStart = 0;
    LONGLONG heapSize = 0;
    LONGLONG fileSize = 0;
};
CompressedHdu compressedHdu(fitsfile *file);
