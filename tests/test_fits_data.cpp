#include "image/fits_data.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void fillPlane(FITSData &data, uint16_t width, uint16_t height, uint8_t channels)
{
    data.stats.width = width;
    data.stats.height = height;
    data.stats.channels = channels;
    data.stats.samplesPerChannel = uint32_t(width) * height;
    data.stats.bytesPerSample = 1;
    data.stats.sampleType = kSampleUInt8;
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
