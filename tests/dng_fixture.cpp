#include "tests/dng_fixture.h"

#include <QBuffer>
#include <QFile>
#include <QVector>

#include <algorithm>
#include <cstdint>
#include <map>

namespace {

enum TiffType : uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kSRational = 10 };

void put16(QByteArray &out, uint32_t v)
{
    out.append(char(v & 0xff));
    out.append(char((v >> 8) & 0xff));
}

void put32(QByteArray &out, uint32_t v)
{
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}

struct Entry {
    uint16_t type = 0;
    uint32_t count = 0;
    QByteArray data;  // little-endian values
};

// One IFD; entries are kept sorted by tag as TIFF requires.
class Ifd
{
public:
    void shorts(uint16_t tag, std::initializer_list<uint32_t> values)
    {
        Entry e{kShort, uint32_t(values.size()), {}};
        for (uint32_t v : values)
            put16(e.data, v);
        entries[tag] = e;
    }
    void longs(uint16_t tag, std::initializer_list<uint32_t> values)
    {
        Entry e{kLong, uint32_t(values.size()), {}};
        for (uint32_t v : values)
            put32(e.data, v);
        entries[tag] = e;
    }
    void bytes(uint16_t tag, std::initializer_list<uint8_t> values)
    {
        Entry e{kByte, uint32_t(values.size()), {}};
        for (uint8_t v : values)
            e.data.append(char(v));
        entries[tag] = e;
    }
    void ascii(uint16_t tag, const QByteArray &text)
    {
        Entry e{kAscii, uint32_t(text.size() + 1), text};
        e.data.append('\0');
        entries[tag] = e;
    }
    void rationals(uint16_t tag, bool isSigned, const QVector<std::pair<int32_t, int32_t>> &values)
    {
        Entry e{isSigned ? kSRational : kRational, uint32_t(values.size()), {}};
        for (const auto &v : values) {
            put32(e.data, uint32_t(v.first));
            put32(e.data, uint32_t(v.second));
        }
        entries[tag] = e;
    }

    // Bytes of the IFD placed at file offset `at`: the directory, then the
    // values that do not fit in an entry. The size never depends on values.
    QByteArray serialise(uint32_t at) const
    {
        QByteArray dir, extra;
        const uint32_t extraStart = at + 2 + 12 * uint32_t(entries.size()) + 4;
        put16(dir, uint32_t(entries.size()));
        for (const auto &[tag, e] : entries) {
            put16(dir, tag);
            put16(dir, e.type);
            put32(dir, e.count);
            if (e.data.size() <= 4) {
                dir.append(e.data);
                dir.append(QByteArray(4 - e.data.size(), '\0'));
            } else {
                put32(dir, extraStart + uint32_t(extra.size()));
                extra.append(e.data);
                if (extra.size() % 2)
                    extra.append('\0');  // values start on word boundaries
            }
        }
        put32(dir, 0);  // no next IFD
        return dir + extra;
    }

private:
    std::map<uint16_t, Entry> entries;
};

QByteArray encodedPreview(const QImage &preview, bool jpeg)
{
    QByteArray bytes;
    if (jpeg) {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        preview.convertToFormat(QImage::Format_RGB32).save(&buffer, "JPEG", 90);
        return bytes;
    }
    // Tightly packed rows: QImage pads its scan lines to 4 bytes.
    const QImage rgb = preview.convertToFormat(QImage::Format_RGB888);
    for (int y = 0; y < rgb.height(); ++y)
        bytes.append(reinterpret_cast<const char *>(rgb.constScanLine(y)), rgb.width() * 3);
    return bytes;
}

QByteArray sensorBytes(int width, int height)
{
    QByteArray bytes;
    bytes.reserve(width * height * 2);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            put16(bytes, uint32_t((x * 97 + y * 61) % 4096) * 16);
    return bytes;
}

} // namespace

QByteArray makeDng(const DngOptions &options)
{
    QImage preview = options.preview;
    if (preview.isNull()) {
        preview = QImage(64, 40, QImage::Format_RGB32);
        preview.fill(QColor(90, 120, 150));
    }
    QByteArray previewData;
    if (options.withPreview)
        previewData = options.previewBytes.isEmpty() ? encodedPreview(preview, options.jpegPreview) : options.previewBytes;
    const QByteArray rawData = sensorBytes(options.sensorWidth, options.sensorHeight);
    const uint32_t pw = uint32_t(preview.width()), ph = uint32_t(preview.height());
    const uint32_t sw = uint32_t(options.sensorWidth), sh = uint32_t(options.sensorHeight);

    Ifd ifd0, sub, exif;
    if (options.withPreview) {
        ifd0.longs(254, {1});  // NewSubfileType: reduced-resolution preview
        ifd0.longs(256, {pw});
        ifd0.longs(257, {ph});
        ifd0.shorts(258, {8, 8, 8});
        ifd0.shorts(259, {options.jpegPreview ? 7u : 1u});
        ifd0.shorts(262, {options.jpegPreview ? 6u : 2u});  // YCbCr for JPEG, else RGB
        ifd0.longs(273, {0});
        ifd0.shorts(277, {3});
        ifd0.longs(278, {ph});
        ifd0.longs(279, {uint32_t(previewData.size())});
        ifd0.shorts(284, {1});
    }
    ifd0.ascii(271, options.make);
    ifd0.ascii(272, options.model);
    ifd0.shorts(274, {1});
    ifd0.ascii(306, options.dateTime);
    ifd0.longs(330, {0});    // SubIFDs
    ifd0.longs(34665, {0});  // Exif IFD
    ifd0.bytes(50706, {1, 4, 0, 0});
    ifd0.bytes(50707, {1, 1, 0, 0});
    ifd0.ascii(50708, options.make + ' ' + options.model);
    ifd0.rationals(50721, true,
                   {{8000, 10000}, {-2000, 10000}, {-1000, 10000}, {-3000, 10000}, {11000, 10000},
                    {2000, 10000}, {-500, 10000}, {1500, 10000}, {6000, 10000}});
    ifd0.rationals(50728, false, {{500, 1000}, {1000, 1000}, {700, 1000}});
    ifd0.shorts(50778, {21});  // CalibrationIlluminant1: D65

    sub.longs(254, {0});  // the full-resolution raw image
    sub.longs(256, {sw});
    sub.longs(257, {sh});
    sub.shorts(258, {16});
    sub.shorts(259, {1});
    sub.shorts(262, {32803});  // colour filter array
    sub.longs(273, {0});
    sub.shorts(277, {1});
    sub.longs(278, {sh});
    sub.longs(279, {uint32_t(rawData.size())});
    sub.shorts(284, {1});
    sub.shorts(33421, {2, 2});
    sub.bytes(33422, {0, 1, 1, 2});  // RGGB
    sub.longs(50717, {65535});

    // LibRaw takes the ISO speed of a DNG from the Exif IFD only.
    if (options.withExposure) {
        exif.rationals(33434, false, {{1, options.exposureDenominator}});
        exif.shorts(34855, {uint32_t(options.iso)});
    }
    exif.ascii(36867, options.dateTime);

    const uint32_t ifd0At = 8;
    const uint32_t subAt = ifd0At + uint32_t(ifd0.serialise(ifd0At).size());
    const uint32_t exifAt = subAt + uint32_t(sub.serialise(subAt).size());
    const uint32_t previewAt = exifAt + uint32_t(exif.serialise(exifAt).size());
    const uint32_t rawAt = previewAt + uint32_t(previewData.size() + previewData.size() % 2);
    if (options.withPreview)
        ifd0.longs(273, {previewAt});
    ifd0.longs(330, {subAt});
    ifd0.longs(34665, {exifAt});
    sub.longs(273, {rawAt});

    QByteArray file("II");
    put16(file, 42);
    put32(file, ifd0At);
    file += ifd0.serialise(ifd0At);
    file += sub.serialise(subAt);
    file += exif.serialise(exifAt);
    file += previewData;
    if (previewData.size() % 2)
        file.append('\0');
    file += rawData;
    return file;
}

bool writeDng(const QString &path, const DngOptions &options)
{
    QFile file(path);
    const QByteArray bytes = makeDng(options);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}
