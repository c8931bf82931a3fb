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
// cfitsio.cpp alone.
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
}
// ffmbyt's flag (REPORT_EOF in fitsio2.h): a position past the end fails.
constexpr int kFitsReportEndOfFile = 0;
