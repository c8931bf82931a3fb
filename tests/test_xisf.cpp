#include "tests/xisf_writer.h"
#include "xisf/xisf_reader.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

using LibXISF::Image;

namespace {

const Image::SampleFormat kAllFormats[] = {Image::UInt8,   Image::UInt16,  Image::UInt32,    Image::UInt64,
                                           Image::Float32, Image::Float64, Image::Complex32, Image::Complex64};

// Distinct bytes, so that a swapped, shuffled or misplaced byte shows.
QByteArray patternBytes(size_t n, unsigned seed = 1)
{
    QByteArray out(int(n), '\0');
    for (size_t i = 0; i < n; ++i)
        out[int(i)] = char((i * 37 + seed * 11 + i / 251) & 0xff);
    return out;
}

XisfFixture makeXisfFixture(Image::SampleFormat format, uint32_t width, uint32_t height, uint32_t channels)
{
    XisfFixture fixture;
    fixture.width = width;
    fixture.height = height;
    fixture.channels = channels;
    fixture.sampleFormat = format;
    fixture.samples = patternBytes(width * height * channels * xisfSampleSize(format));
    return fixture;
}

LibXISF::ByteArray toByteArray(const QByteArray &bytes)
{
    return LibXISF::ByteArray(bytes.constData(), size_t(bytes.size()));
}

QByteArray imageBytes(const Image &image)
{
    return QByteArray(static_cast<const char *>(image.imageData()), int(image.imageDataSize()));
}

// Reads image 0 of `file` from memory; returns its samples, once decoding
// into a buffer of our own has given the same.
QByteArray readBack(const QByteArray &file)
{
    LibXISF::XISFReader reader;
    reader.open(toByteArray(file));
    QByteArray direct(int(reader.imageDataSize(0)), '\0');
    EXPECT_THROW(reader.readImageData(0, direct.data(), size_t(direct.size()) + 1), LibXISF::Error);
    reader.readImageData(0, direct.data(), size_t(direct.size()));
    const QByteArray held = imageBytes(reader.getImage(0));
    EXPECT_EQ(direct, held);
    return held;
}

// The message of the Error that opening and reading every image throws.
std::string failureOf(const QByteArray &file)
{
    try {
        LibXISF::XISFReader reader;
        reader.open(toByteArray(file));
        for (uint32_t i = 0; i < reader.imagesCount(); ++i)
            reader.getImage(i);
    } catch (const LibXISF::Error &error) {
        return error.what();
    }
    return "no error";
}

QByteArray planarFromNormal(const QByteArray &normal, size_t pixels, size_t channels, size_t sampleSize)
{
    QByteArray planar(normal.size(), '\0');
    for (size_t c = 0; c < channels; ++c)
        for (size_t i = 0; i < pixels; ++i)
            std::memcpy(planar.data() + (c * pixels + i) * sampleSize,
                        normal.constData() + (i * channels + c) * sampleSize, sampleSize);
    return planar;
}

} // namespace

TEST(XisfReader, ReadsEveryFormatInEveryStorage)
{
    struct Layout {
        uint32_t channels;
        const char *storage;
        const char *colorSpace;
    };
    const Layout layouts[] = {{1, "", ""}, {3, "Planar", "RGB"}, {3, "Normal", "RGB"}, {2, "Normal", "Gray"}};
    for (Image::SampleFormat format : kAllFormats) {
        for (const Layout &layout : layouts) {
            SCOPED_TRACE(testing::Message() << "format " << format << " storage " << layout.storage);
            XisfFixture fixture = makeXisfFixture(format, 5, 3, layout.channels);
            fixture.pixelStorage = layout.storage;
            fixture.colorSpace = layout.colorSpace;
            LibXISF::XISFReader reader;
            reader.open(toByteArray(xisfFile({fixture})));
            ASSERT_EQ(reader.imagesCount(), 1u);
            Image image = reader.getImage(0);
            EXPECT_EQ(image.sampleFormat(), format);
            EXPECT_EQ(image.width(), 5u);
            EXPECT_EQ(image.height(), 3u);
            EXPECT_EQ(image.channelCount(), layout.channels);
            const bool normal = QByteArray(layout.storage) == "Normal";
            EXPECT_EQ(image.pixelStorage(), normal ? Image::Normal : Image::Planar);
            EXPECT_EQ(image.colorSpace(), QByteArray(layout.colorSpace) == "RGB" ? Image::RGB : Image::Gray);
            EXPECT_EQ(imageBytes(image), fixture.samples);

            image.convertPixelStorageTo(Image::Planar);
            EXPECT_EQ(image.pixelStorage(), Image::Planar);
            const QByteArray planar =
                normal ? planarFromNormal(fixture.samples, 15, layout.channels, xisfSampleSize(format)) : fixture.samples;
            EXPECT_EQ(imageBytes(image), planar);
        }
    }
}

TEST(XisfReader, DecodesEveryCodecWithAndWithoutShuffling)
{
    const char *codecs[] = {"zlib", "lz4", "lz4hc", "zstd"};
    const Image::SampleFormat formats[] = {Image::UInt8, Image::UInt16, Image::Float32, Image::Float64,
                                           Image::Complex64};
    for (const char *codec : codecs) {
        for (Image::SampleFormat format : formats) {
            for (bool shuffle : {false, true}) {
                for (int subBlocks : {0, 3}) {
                    SCOPED_TRACE(testing::Message() << codec << " format " << format << " shuffle " << shuffle
                                                    << " sub-blocks " << subBlocks);
                    // 7x5 pixels of 3 channels: a length no item size divides evenly.
                    XisfFixture fixture = makeXisfFixture(format, 7, 5, 3);
                    fixture.codec = codec;
                    fixture.shuffle = shuffle;
                    fixture.subBlocks = subBlocks;
                    EXPECT_EQ(readBack(xisfFile({fixture})), fixture.samples);
                }
            }
        }
        // Large enough to be unshuffled and its sub-blocks decoded in
        // parallel: 2-, 4- and 8-byte items, an odd count of 16-bit ones.
        struct Large {
            Image::SampleFormat format;
            uint32_t width, height;
            bool shuffle;
            int subBlocks;
        };
        const Large larges[] = {{Image::Float32, 1030, 1100, false, 0}, {Image::Float32, 1030, 1100, true, 5},
                                {Image::UInt16, 1031, 1101, true, 0},   {Image::UInt16, 1031, 1101, true, 3},
                                {Image::Float64, 1030, 1100, true, 0}};
        for (const Large &large : larges) {
            SCOPED_TRACE(testing::Message() << codec << " large, format " << large.format << " shuffle "
                                            << large.shuffle << " sub-blocks " << large.subBlocks);
            XisfFixture fixture = makeXisfFixture(large.format, large.width, large.height, 1);
            fixture.codec = codec;
            fixture.shuffle = large.shuffle;
            fixture.subBlocks = large.subBlocks;
            EXPECT_EQ(readBack(xisfFile({fixture})), fixture.samples);
        }
    }
}

TEST(XisfReader, DecodesInlineAndEmbeddedData)
{
    const XisfLocation locations[] = {XisfLocation::InlineBase64, XisfLocation::InlineHex,
                                      XisfLocation::EmbeddedBase64, XisfLocation::EmbeddedHex};
    for (XisfLocation location : locations) {
        for (const char *codec : {"", "zstd"}) {
            SCOPED_TRACE(testing::Message() << "location " << int(location) << " codec " << codec);
            XisfFixture fixture = makeXisfFixture(Image::UInt16, 4, 3, 1);
            fixture.location = location;
            fixture.codec = codec;
            fixture.shuffle = *codec != '\0';
            EXPECT_EQ(readBack(xisfFile({fixture})), fixture.samples);
        }
    }
}

TEST(XisfReader, SwapsBigEndianSamples)
{
    for (Image::SampleFormat format : kAllFormats) {
        for (const char *codec : {"", "zlib"}) {
            SCOPED_TRACE(testing::Message() << "format " << format << " codec " << codec);
            XisfFixture fixture = makeXisfFixture(format, 3, 2, 1);
            fixture.bigEndian = true;
            fixture.codec = codec;
            fixture.shuffle = *codec != '\0';
            EXPECT_EQ(readBack(xisfFile({fixture})), fixture.samples);
        }
    }
}

TEST(XisfReader, KeepsKeywordsInFileOrder)
{
    XisfFixture fixture = makeXisfFixture(Image::UInt8, 2, 2, 1);
    fixture.keywords = {{"OBJECT", "'M 31  '", "target"},
                     {"EXPTIME", "30", "seconds"},
                     {"HISTORY", "", "taken at -5 \xc2\xb0" "C & <dark>"},
                     {"OBJECT", "second", ""}};
    LibXISF::XISFReader reader;
    reader.open(toByteArray(xisfFile({fixture})));
    const std::vector<LibXISF::FITSKeyword> &keywords = reader.getImage(0, false).fitsKeywords();
    ASSERT_EQ(keywords.size(), fixture.keywords.size());
    for (size_t i = 0; i < keywords.size(); ++i) {
        EXPECT_EQ(keywords[i].name, fixture.keywords[i].name);
        EXPECT_EQ(keywords[i].value, fixture.keywords[i].value);
        EXPECT_EQ(keywords[i].comment, fixture.keywords[i].comment);
    }
}

TEST(XisfReader, ReadsImagesOnDemandFromDiskAndMemory)
{
    XisfFixture first = makeXisfFixture(Image::UInt16, 6, 4, 1);
    first.codec = "lz4";
    XisfFixture second = makeXisfFixture(Image::Float32, 3, 3, 3);
    second.samples = patternBytes(second.samples.size(), 7);
    // Shuffled blocks that shrink and one that grows (random bytes).
    XisfFixture third = makeXisfFixture(Image::UInt32, 40, 30, 1);
    third.codec = "zlib";
    third.shuffle = true;
    XisfFixture fourth = third;
    std::mt19937 random(3);
    for (char &byte : fourth.samples)
        byte = char(random());
    const QByteArray file = xisfFile({first, second, third, fourth});
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("four images.xisf");
    ASSERT_TRUE(writeXisfFile(path, {first, second, third, fourth}));

    for (bool fromDisk : {false, true}) {
        SCOPED_TRACE(fromDisk ? "disk" : "memory");
        LibXISF::XISFReader reader;
        if (fromDisk)
            reader.open(path.toStdString());
        else
            reader.open(toByteArray(file));
        ASSERT_EQ(reader.imagesCount(), 4u);
        EXPECT_EQ(reader.getImage(1, false).imageDataSize(), 0u);
        EXPECT_EQ(reader.getImage(1, false).channelCount(), 3u);
        EXPECT_EQ(imageBytes(reader.getImage(1)), second.samples);
        EXPECT_EQ(imageBytes(reader.getImage(0)), first.samples);
        for (const XisfFixture *shuffled : {&third, &fourth}) {
            const uint32_t index = shuffled == &third ? 2 : 3;
            QByteArray direct(int(reader.imageDataSize(index)), '\0');
            reader.readImageData(index, direct.data(), size_t(direct.size()));
            EXPECT_EQ(direct, shuffled->samples);
        }
        EXPECT_THROW(reader.getImage(4), LibXISF::Error);
    }
}

TEST(XisfReader, AcceptsZeroPaddedHeaderAndForeignElements)
{
    XisfFixture fixture = makeXisfFixture(Image::UInt8, 2, 2, 1);
    fixture.extraXml = "<Property id=\"Observation:Object:Name\" type=\"String\">M 31</Property>"
                    "<ColorFilterArray pattern=\"RGGB\" width=\"2\" height=\"2\"/>";
    const QByteArray samples = fixture.samples;
    fixture.samples.clear();
    fixture.attributes["location"] = "inline:hex";
    fixture.extraXml += QString::fromLatin1(samples.toHex());
    const QByteArray plain = xisfFile({fixture});
    // Same header with zero padding counted in the header length.
    QByteArray xml = plain.mid(16);
    xml.replace("<xisf ", "<!-- made by a test --><xisf ");
    xml.replace("</xisf>", "<Metadata><Property id=\"XISF:CreatorApplication\" type=\"String\">t</Property></Metadata></xisf>");
    xml.append(QByteArray(64, '\0'));
    EXPECT_EQ(readBack(xisfContainer(xml)), samples);
}

TEST(XisfReader, RejectsDamagedFiles)
{
    const XisfFixture good = makeXisfFixture(Image::UInt16, 4, 4, 1);  // 32 sample bytes
    auto with = [&](std::function<void(XisfFixture &)> change) {
        XisfFixture fixture = good;
        change(fixture);
        return xisfFile({fixture});
    };
    auto header = [](const char *imageXml) {
        return xisfContainer(QByteArray("<xisf version=\"1.0\" xmlns=\"http://www.pixinsight.com/xisf\">") +
                             imageXml + "</xisf>");
    };
    const QByteArray valid = xisfFile({good});

    struct Case {
        const char *what;
        QByteArray file;
        const char *message;
    };
    const Case cases[] = {
        {"empty file", QByteArray(), "too short"},
        {"wrong signature", QByteArray(valid).replace(0, 8, "XISF0200"), "signature"},
        {"header length past the end", QByteArray(valid).replace(8, 4, QByteArray("\xff\xff\x00\x00", 4)),
         "past the end"},
        {"truncated header", valid.left(40), "past the end"},
        {"malformed XML", xisfContainer("<xisf xmlns=\"http://www.pixinsight.com/xisf\"><Image"), "not valid XML"},
        {"not XML at all", xisfContainer(QByteArray(100, '\x01')), "not valid XML"},
        {"empty header", xisfContainer(""), "not valid XML"},
        {"foreign encoding",
         xisfContainer("<?xml version=\"1.0\" encoding=\"IBM00924\"?><xisf xmlns=\"http://www.pixinsight.com/xisf\"/>"),
         "UTF-8"},
        {"foreign root", xisfContainer("<fits xmlns=\"http://www.pixinsight.com/xisf\"/>"), "root element"},
        {"no namespace", xisfContainer("<xisf version=\"1.0\"/>"), "root element"},
        {"entity expansion",
         xisfContainer("<!DOCTYPE xisf [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
                       "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
                       "<xisf xmlns=\"http://www.pixinsight.com/xisf\"><Image>&d;&d;&d;&d;</Image></xisf>"),
         "document type"},
        {"no geometry", with([](XisfFixture &s) { s.attributes["geometry"] = QString(); }), "no geometry"},
        {"two-part geometry", with([](XisfFixture &s) { s.attributes["geometry"] = "4:4"; }), "width:height:channels"},
        {"zero width", with([](XisfFixture &s) { s.attributes["geometry"] = "0:4:1"; }), "invalid"},
        {"negative height", with([](XisfFixture &s) { s.attributes["geometry"] = "4:-4:1"; }), "invalid"},
        {"axis above the limit", with([](XisfFixture &s) { s.attributes["geometry"] = "70000:1:1"; }), "limit"},
        {"overflowing product",
         with([](XisfFixture &s) { s.attributes["geometry"] = "65535:65535:18446744073709551615"; }), "more than"},
        {"over 4 GiB", with([](XisfFixture &s) { s.attributes["geometry"] = "65535:65535:1"; s.sampleFormat = Image::UInt64; }),
         "more than"},
        {"digits overflowing 64 bits",
         with([](XisfFixture &s) { s.attributes["geometry"] = "4:4:99999999999999999999"; }), "invalid"},
        {"unknown sample format", with([](XisfFixture &s) { s.attributes["sampleFormat"] = "Int16"; }),
         "unsupported sample format"},
        {"unknown storage", with([](XisfFixture &s) { s.pixelStorage = "Interleaved"; }), "pixel storage"},
        {"unknown byte order", with([](XisfFixture &s) { s.attributes["byteOrder"] = "middle"; }), "byte order"},
        {"no location", with([](XisfFixture &s) { s.attributes["location"] = QString(); }), "no location"},
        {"remote location", with([](XisfFixture &s) { s.attributes["location"] = "url(http://x/y)"; }),
         "unsupported data location"},
        {"attachment past the end", header("<Image geometry=\"4:4:1\" sampleFormat=\"UInt16\" location=\"attachment:4000:32\"/>"),
         "outside the file"},
        {"attachment offset overflow",
         header("<Image geometry=\"4:4:1\" sampleFormat=\"UInt16\" location=\"attachment:18446744073709551615:32\"/>"),
         "outside the file"},
        {"attachment malformed", header("<Image geometry=\"4:4:1\" sampleFormat=\"UInt16\" location=\"attachment:16\"/>"),
         "attachment:position:size"},
        {"truncated attachment", valid.left(valid.size() - 1), "outside the file"},
        {"attachment too small",
         with([](XisfFixture &s) { s.samples.chop(2); }), "attachment holds 30 bytes, the image needs 32"},
        {"inline data too short",
         with([](XisfFixture &s) { s.samples.chop(2); s.location = XisfLocation::InlineBase64; }), "inline data holds"},
        {"bad base64", with([](XisfFixture &s) { s.location = XisfLocation::InlineBase64; s.extraXml = "!!"; }),
         "base64"},
        {"odd hex", with([](XisfFixture &s) { s.location = XisfLocation::InlineHex; s.extraXml = "a"; }), "odd"},
        {"bad hex", with([](XisfFixture &s) { s.location = XisfLocation::EmbeddedHex; s.samples.clear(); s.extraXml = "<Data encoding=\"hex\">zz</Data>"; }),
         "hex digit"},
        {"embedded without data", header("<Image geometry=\"1:1:1\" sampleFormat=\"UInt8\" location=\"embedded\"/>"),
         "no Data element"},
        {"unknown codec", with([](XisfFixture &s) { s.codec = "zlib"; s.attributes["compression"] = "lzma:32"; }),
         "unsupported compression codec"},
        {"declared size differs from geometry",
         with([](XisfFixture &s) { s.codec = "zlib"; s.attributes["compression"] = "zlib:64"; }),
         "declares 64 bytes, the image needs 32"},
        {"wrong shuffle item size",
         with([](XisfFixture &s) { s.codec = "zlib"; s.shuffle = true; s.attributes["compression"] = "zlib+sh:32:4"; }),
         "shuffle item size 4"},
        {"shuffle without item size",
         with([](XisfFixture &s) { s.codec = "zlib"; s.attributes["compression"] = "zlib+sh:32"; }), "malformed"},
        {"sub-blocks that do not add up",
         with([](XisfFixture &s) { s.codec = "zlib"; s.subBlocks = 2; s.attributes["subblocks"] = "10,16:10,10"; }),
         "add up"},
        {"sub-blocks without compression", with([](XisfFixture &s) { s.attributes["subblocks"] = "32,32"; }),
         "without compression"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NE(failureOf(c.file).find(c.message), std::string::npos) << failureOf(c.file);
    }
}

TEST(XisfReader, RejectsBlocksThatDecodeToTheWrongSize)
{
    for (const char *codec : {"zlib", "lz4", "lz4hc", "zstd"}) {
        SCOPED_TRACE(codec);
        // The block holds 64 bytes, the geometry and the compression attribute say 32.
        XisfFixture bomb = makeXisfFixture(Image::UInt16, 4, 4, 1);
        bomb.samples = QByteArray(64, 'x');
        bomb.codec = codec;
        bomb.attributes["compression"] = QString(codec) + ":32";
        const std::string expands = failureOf(xisfFile({bomb}));
        EXPECT_TRUE(expands.find("beyond") != std::string::npos) << expands;

        XisfFixture shortBlock = bomb;
        shortBlock.samples = QByteArray(16, 'x');
        const std::string fewer = failureOf(xisfFile({shortBlock}));
        EXPECT_TRUE(fewer.find("fewer") != std::string::npos || fewer.find("decodes to 16 bytes") != std::string::npos)
            << fewer;

        // A tiny block claiming almost 4 GiB is refused before anything is allocated.
        XisfFixture claim = makeXisfFixture(Image::UInt32, 4, 4, 1);
        claim.codec = codec;
        claim.attributes["geometry"] = "65535:16000:1";
        claim.attributes["compression"] = QString(codec) + ":4194240000";
        const std::string huge = failureOf(xisfFile({claim}));
        EXPECT_TRUE(huge.find("cannot expand to 4194240000 bytes") != std::string::npos) << huge;

        // Damaged compressed bytes.
        XisfFixture fixture = makeXisfFixture(Image::UInt16, 16, 16, 1);
        fixture.codec = codec;
        QByteArray file = xisfFile({fixture});
        for (int i = file.indexOf("</xisf>") + 12; i < file.size(); i += 3)
            file[i] = char(file[i] ^ 0x5a);
        const std::string corrupt = failureOf(file);
        EXPECT_NE(corrupt, "no error");
    }
}

TEST(XisfReader, SurvivesTruncationAndBitFlips)
{
    XisfFixture fixture = makeXisfFixture(Image::UInt16, 9, 7, 3);
    fixture.codec = "zlib";
    fixture.shuffle = true;
    fixture.keywords = {{"EXPTIME", "30", ""}};
    XisfFixture second = makeXisfFixture(Image::Float32, 5, 5, 1);
    second.location = XisfLocation::EmbeddedBase64;
    second.codec = "lz4";
    const QByteArray file = xisfFile({fixture, second});
    for (int n = 0; n < file.size(); ++n)
        failureOf(file.left(n));  // any outcome but a crash
    std::mt19937 random(42);
    for (int round = 0; round < 2000; ++round) {
        QByteArray damaged = file;
        for (int flips = 1 + int(random() % 4); flips > 0; --flips)
            damaged[int(random() % uint32_t(file.size()))] = char(random());
        failureOf(damaged);
    }
}

TEST(XisfReader, ReportsUnreadableFiles)
{
    LibXISF::XISFReader reader;
    try {
        reader.open("/nonexistent/dir/file.xisf");
        FAIL() << "opened a missing file";
    } catch (const LibXISF::Error &error) {
        EXPECT_NE(std::string(error.what()).find("cannot open"), std::string::npos);
    }
    EXPECT_EQ(reader.imagesCount(), 0u);
}
