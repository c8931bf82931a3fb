#pragma once

// Everything the image code needs from CFITSIO beyond fitsio.h: the handle
// that closes itself, the guard over its message stack, its failures as
// text, the sizes of the format, and the few routines it exports without
// declaring them publicly.

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

// CFITSIO's short text for a status, e.g. "error uncompressing image".
QString fitsErrorText(int status);
// The same with the code, as failures are reported: "... (CFITSIO status 414)".
QString fitsStatusText(int status);

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
// The quoted-string decoder ('' -> ', enclosing quotes and trailing blanks
// dropped): header records decode string values exactly as CFITSIO does.
int ffc2s(const char *instr, char *outstr, int *status);
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
