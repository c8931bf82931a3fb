#pragma once

#include "image/image_types.h"

#include <QImage>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Stretch of one channel on the normalised scale 0..1.
struct ChannelStretchParams {
    float shadows = 0.0f;     // at or below: black
    float highlights = 1.0f;  // at or above: white
    float midtones = 0.5f;    // balance of the transfer curve; 0.5 is linear
    float rangeLow = 0.0f;    // carried along, never read
    float rangeHigh = 1.0f;   // carried along, never read
};

// Per-channel stretch: grey or red, green, blue.
struct StretchParams {
    ChannelStretchParams channel[3];
};

// The levels run() renders, a band of rows of one plane at a time, for users
// that take the picture in bands rather than as a whole (the narrowing of a
// preview). Read-only once made, so pool tasks share it.
class PlaneLevels
{
public:
    virtual ~PlaneLevels() = default;
    // Levels of `rowCount` rows of `plane` (0 grey or red, 1 green, 2 blue)
    // from row `firstRow` on, packed `width` bytes a row into `out`.
    virtual void rows(int plane, int firstRow, int rowCount, uint8_t *out) const = 0;
    // True when row `row` of `plane` holds the levels of row `row` - 1.
    virtual bool repeatsRow(int plane, int row) const
    {
        static_cast<void>(plane);
        static_cast<void>(row);
        return false;
    }
};

// Computes an automatic screen stretch from the median and the median
// absolute deviation of each plane and renders a planar sample buffer
// through it into an 8-bit picture. One object serves one rendering.
//
// Planes rendered: three for a three-channel image (red, green, blue into
// RGB32), otherwise the first plane alone as grey (Indexed8). So a
// two-channel image shows its first plane, and nothing is left undrawn.
class StretchRenderer
{
public:
    // Samples of types UInt8, UInt16, UInt32, Float, Int64 and Double are
    // rendered; any other type renders nothing.
    StretchRenderer(int width, int height, int channels, SampleType sampleType);

    // Floating-point data whose first plane stays at or below 1.01 is taken
    // as normalised (range 1). Unsigned 32-bit data keeps the 16-bit range
    // 65536 when its rendered planes fit in 16 bits, else takes 2^32.
    void detectInputRange(const void *pixels);
    // Parameters of every rendered plane; the renderer keeps its own.
    StretchParams computeParams(const void *pixels);
    void setParams(const StretchParams &newParams) { params = newParams; }
    // Renders every row into `image`, which must be width x height,
    // Indexed8 for grey or RGB32 for three channels, and not shared with
    // another QImage. False when nothing could be rendered (unknown sample
    // type, no channels, or an image of the wrong size or format).
    bool run(const void *pixels, QImage &image, int sampling = 1);

    // The levels run() would render, as separate planes; null when run()
    // would render nothing. `pixels` must outlive the result.
    std::unique_ptr<PlaneLevels> planeLevels(const void *pixels);

    // Planes that run() renders: 3 or 1, 0 for an image without channels.
    int renderedPlanes() const;

    // From now on `pixels` is a width x height Bayer mosaic of 8- or 16-bit
    // samples standing for the three planes of its nearest-neighbour
    // demosaic (pattern code, vertical offset 0 or 1): computeParams() and
    // planeLevels() read those planes' values from it without making them.
    // run() renders planes only. False for a mosaic it cannot read so.
    bool setMosaic(int pattern, int offsetY);

    // Parameters of one plane of width x height samples.
    template <typename T>
    static ChannelStretchParams computeChannelParams(const T *plane, int width, int height, int64_t inputRange);
    // Samples at indices 0, step, 2*step, ...: every sample below 500,000,
    // otherwise step n / 500,000, so that 500,000 to 999,999 are visited.
    // NaN samples are visited but left out: they have no place in a median.
    template <typename T>
    static std::vector<T> planeSubsample(const T *plane, size_t sampleCount);
    // The element at index size / 2 of the sorted vector (the upper middle
    // for an even count), found by selection, which may reorder `values`,
    // or for floats by counting. An empty vector has no median and gives T().
    template <typename T>
    static T sampleMedian(std::vector<T> &values);
    // Midtones transfer function with balance m, in single precision.
    static float midtonesTransfer(float m, float x);

    int width;
    int height;
    int channels;
    // Levels that normalise samples: 256, 65536, 2^32 or 1. Wider than the
    // UInt32 samples need, hence 64 bits.
    int64_t inputRange;
    SampleType sampleType;
    StretchParams params;

private:
    template <typename T>
    static void stretchOneChannel(const T *buffer, QImage &image, const StretchParams &params, int64_t inputRange,
                                  int height, int width, int sampling);
    template <typename T>
    static void stretchThreeChannels(const T *buffer, QImage &image, const StretchParams &params, int64_t inputRange,
                                     int height, int width, int sampling);

    // The 32-bit range is found by a full pass, which is done once.
    bool uint32RangeDetected = false;
    // Pattern code of the mosaic `pixels` holds; 0 for planes.
    int mosaicPattern = 0;
    int mosaicOffsetY = 0;
};
