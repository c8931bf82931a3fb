#pragma once

#include <cstddef>
#include <cstdint>

// Every size a file declares is checked against these before anything is
// allocated or read. Each limit says why it is what it is.

// Width and height are held in 16 bits by the image model.
constexpr uint32_t kMaxAxisLength = 65535;

// pixelBytes is a 32-bit quantity in the image model.
constexpr uint64_t kMaxImageBytes = 0xffffffffULL;

// The statistics records hold three entries per statistic.
constexpr int kMaxChannels = 3;

// The FITS standard allows at most 999 axes.
constexpr int kMaxFitsAxes = 999;

// The FITS standard allows at most 999 table fields; CFITSIO sets up one
// column record for each field a header declares, however many that is.
constexpr int kMaxTableFields = 999;

// Tile-compressed FITS: the unpacked copy grows to whatever the compressed
// headers declare, so a declared total above kUnpackFreeBytes must stay within
// kMaxUnpackRatio times the packed file's size. Lossless FITS tile coders reach
// about 100:1 (Rice), 1000:1 (gzip, deflate's ceiling) and 500:1 (PLIO) on a
// blank 16-bit frame, and real sky data 2:1 to 10:1; only HCOMPRESS of a
// constant frame goes beyond 10,000:1, and such a frame is no picture worth
// gigabytes. Claims up to 1 GiB pass whatever the file size: that much is a
// moderate allocation for this tool.
constexpr uint64_t kUnpackFreeBytes = 1ULL << 30;
constexpr uint64_t kMaxUnpackRatio = 10000;
// The unpacked copy is read as one image of the model, which holds at most
// kMaxImageBytes of samples; no usable file needs a larger copy.
constexpr uint64_t kMaxUnpackedBytes = kMaxImageBytes;
// World coordinates: WCSLIB sizes its structures by NAXIS or WCSAXESa, and
// preparing an n-axis system inverts an n x n matrix (a one-card WCSAXES =
// 99999 takes it to 11 GB and a crash). WCS keywords number axes with at
// most two digits, so no coordinate system can describe more than 99 axes.
constexpr int kMaxWcsAxes = 99;
// LibRaw reads a RAW file of up to this size into memory at once and
// streams larger ones: its own default of 250 MiB, named here once.
constexpr int64_t kMaxBufferedRawBytes = 262144000;
