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
