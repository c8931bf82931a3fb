#include "image/fits_data.h"
#include "tests/fixtures.h"

#include <QTemporaryDir>

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

void fillPlane(FITSData &data, uint16_t width, uint16_t height, uint8_t channels)
{
    data.stats.width = width;
    data.stats.height = height;
    data.stats.channels = channels;
    data.stats.samplesPerChannel = uint32_t(width) * height;
    data.stats.bytesPerSample = 1;
    data.stats.sampleType = SampleType::UInt8;
    data.pixelBytes = data.stats.samplesPerChannel * channels;
    data.pixels.reset(new uint8_t[data.pixelBytes]);
    for (uint32_t i = 0; i < data.pixelBytes; ++i)
        data.pixels[i] = uint8_t(i);
}

} // namespace

TEST(FITSData, ConstructedState)
{
    FITSData data;
    EXPECT_EQ(data.property("bpp").toInt(), 8);
    EXPECT_EQ(data.property("channels").toInt(), 1);
    EXPECT_EQ(data.bitpix, 20);
    EXPECT_EQ(data.bayer.pattern, 512);
    EXPECT_EQ(data.stats.dimensions, 2);
    EXPECT_FALSE(data.observationTime.isValid());
    EXPECT_EQ(data.property("mode").value<FITSMode>(), Normal);
    EXPECT_TRUE(data.setProperty("mode", QVariant::fromValue(Align)));
    EXPECT_EQ(data.mode, Align);
}

TEST(FITSData, FindRecordValueSkipsCommentaryCards)
{
    FITSData data;
    data.headerRecords = {{"OBJECT", QVariant(), "only a comment"}, {"OBJECT", QString("M31"), ""},
                          {"OBJECT", QString("M33"), ""}};
    QVariant value = 7;
    EXPECT_TRUE(data.findRecordValue("OBJECT", value));
    EXPECT_EQ(value.toString(), "M31");
    value = 7;
    EXPECT_FALSE(data.findRecordValue("object", value));
    EXPECT_EQ(value.toInt(), 7);
}

TEST(FITSData, RoiBufferCopiesEachPlane)
{
    FITSData data;
    fillPlane(data, 4, 3, 3);
    data.makeRoiBuffer(QRect(QPoint(2, 2), QPoint(3, 3)));
    ASSERT_TRUE(data.roiPixels);
    EXPECT_EQ(data.roiStats.width, 2);
    EXPECT_EQ(data.roiStats.height, 2);
    EXPECT_EQ(data.roiStats.samplesPerChannel, 4u);
    const uint8_t expected[] = {5, 6, 9, 10, 17, 18, 21, 22, 29, 30, 33, 34};
    EXPECT_EQ(std::memcmp(data.roiPixels.get(), expected, sizeof expected), 0);
}

TEST(FITSData, RoiBufferIgnoresInvalidRectangles)
{
    const QRect cases[] = {
        QRect(QPoint(2, 2), QPoint(2, 2)), // one pixel
        QRect(QPoint(3, 3), QPoint(2, 2)), // inverted
        QRect(QPoint(0, 1), QPoint(2, 2)), // left of the image
        QRect(QPoint(3, 2), QPoint(5, 3)), // right of the image
        QRect(QPoint(1, 2), QPoint(2, 4)), // below the image
    };
    for (const QRect &roi : cases) {
        FITSData data;
        fillPlane(data, 4, 3, 1);
        data.makeRoiBuffer(roi);
        EXPECT_FALSE(data.roiPixels) << roi.left() << "," << roi.top() << " " << roi.right() << "," << roi.bottom();
    }
}

TEST(FITSData, UnknownExtensionFailsTheLoad)
{
    FITSData data;
    auto future = data.startLoad("/nonexistent/scan.final.png");
    EXPECT_FALSE(future.result());
    EXPECT_EQ(data.extension, "final.png");
    EXPECT_FALSE(data.inTempDir);
}

// A load for the preview holds the samples and the first channel's range as
// a full load computes them (a kept mosaic: the range of its red plane),
// and nothing the preview does not read.
TEST(FITSData, PreviewOnlyLoadKeepsWhatThePreviewReads)
{
    const QStringList wcs = {"CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'", "CRVAL1  =                 10.0",
                             "CRVAL2  =                 20.0", "CRPIX1  =                  3.0",
                             "CRPIX2  =                  3.0", "CDELT1  =              -0.0003",
                             "CDELT2  =               0.0003"};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char *name;
        int bitpix;
        int dataType;
        long planes;
        QStringList cards;
        bool mosaic;
    } cases[] = {
        {"u16", SHORT_IMG, TSHORT, 1, QStringList{"BZERO   =                32768"} + wcs, false},
        {"float", FLOAT_IMG, TFLOAT, 1, wcs, false},
        {"u8cube", BYTE_IMG, TBYTE, 3, {}, false},
        {"rggb", SHORT_IMG, TSHORT, 1, QStringList{"BZERO   =                32768", "BAYERPAT= 'RGGB'"} + wcs, true},
        {"bggr_y1", BYTE_IMG, TBYTE, 1, {"BAYERPAT= 'BGGR'", "XBAYROFF=                    0", "YBAYROFF=                    1"}, true},
    };
    QTemporaryDir dir;
    std::mt19937 rng(5);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const long width = 37, height = 23;
        const size_t count = size_t(width * height * c.planes);
        std::vector<int16_t> shorts(count);
        std::vector<uint8_t> bytes(count);
        std::vector<float> floats(count);
        for (size_t i = 0; i < count; ++i) {
            shorts[i] = int16_t(rng());
            bytes[i] = uint8_t(rng());
            floats[i] = float(rng() % 1000) * 0.25f;
        }
        // A NaN last in a chunk restarts the running maximum.
        floats[count / 2] = nan;
        const void *samples = c.dataType == TSHORT ? static_cast<const void *>(shorts.data())
                              : c.dataType == TBYTE ? static_cast<const void *>(bytes.data())
                                                    : floats.data();
        FitsFixture written;
        written.bitpix = c.bitpix;
        written.axes = {width, height};
        if (c.planes > 1)
            written.axes.push_back(c.planes);
        written.data = samples;
        written.dataType = c.dataType;
        written.cards = c.cards;
        const QString path = dir.filePath(QStringLiteral("%1.fits").arg(c.name));
        ASSERT_TRUE(writeFits(path, written));
        FITSData full, preview;
        preview.previewOnly = true;
        ASSERT_TRUE(full.startLoad(path).result());
        ASSERT_TRUE(preview.startLoad(path).result());
        EXPECT_EQ(preview.holdsMosaic, c.mosaic);
        EXPECT_EQ(preview.stats.channels, full.stats.channels);
        EXPECT_EQ(std::memcmp(&preview.stats.minimum[0], &full.stats.minimum[0], sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(&preview.stats.maximum[0], &full.stats.maximum[0], sizeof(double)), 0);
        EXPECT_EQ(full.hasWCS, !c.cards.filter("CTYPE").isEmpty());
        EXPECT_FALSE(preview.hasWCS);
        ASSERT_TRUE(preview.expandMosaic());
        ASSERT_EQ(preview.pixelBytes, full.pixelBytes);
        EXPECT_EQ(std::memcmp(preview.pixels.get(), full.pixels.get(), full.pixelBytes), 0);
    }
}
