#include "tests/xisf_writer.h"

#include <QFile>
#include <QStringList>

#include <lz4.h>
#include <lz4hc.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>

namespace {

const char *const kFormatNames[] = {"UInt8", "UInt16", "UInt32", "UInt64", "Float32", "Float64", "Complex32", "Complex64"};

QByteArray swapped(const QByteArray &in, size_t word)
{
    QByteArray out = in;
    for (int i = 0; i + int(word) <= out.size(); i += int(word))
        std::reverse(out.begin() + i, out.begin() + i + int(word));
    return out;
}

QByteArray shuffled(const QByteArray &in, size_t itemSize)
{
    QByteArray out = in;
    const size_t items = size_t(in.size()) / itemSize;
    size_t k = 0;
    for (size_t byte = 0; byte < itemSize; ++byte)
        for (size_t i = 0; i < items; ++i)
            out[int(k++)] = in[int(i * itemSize + byte)];
    return out;
}

QByteArray compressed(const QByteArray &in, const QString &codec)
{
    if (codec == QLatin1String("zlib")) {
        uLongf size = compressBound(uLong(in.size()));
        QByteArray out(int(size), '\0');
        compress2(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(in.constData()),
                  uLong(in.size()), 6);
        out.resize(int(size));
        return out;
    }
    if (codec == QLatin1String("lz4") || codec == QLatin1String("lz4hc")) {
        QByteArray out(LZ4_compressBound(in.size()), '\0');
        const int n = codec == QLatin1String("lz4")
                          ? LZ4_compress_default(in.constData(), out.data(), in.size(), out.size())
                          : LZ4_compress_HC(in.constData(), out.data(), in.size(), out.size(), 9);
        out.resize(n);
        return out;
    }
    QByteArray out(int(ZSTD_compressBound(size_t(in.size()))), '\0');
    out.resize(int(ZSTD_compress(out.data(), size_t(out.size()), in.constData(), size_t(in.size()), 3)));
    return out;
}

struct EncodedImage {
    QMap<QString, QString> attributes;
    QByteArray attachment;  // for the attachment location
    QByteArray text;        // for inline and embedded locations
};

EncodedImage encode(const XisfFixture &fixture)
{
    EncodedImage encoded;
    QMap<QString, QString> &a = encoded.attributes;
    a["geometry"] = QStringLiteral("%1:%2:%3").arg(fixture.width).arg(fixture.height).arg(fixture.channels);
    a["sampleFormat"] = QLatin1String(kFormatNames[fixture.sampleFormat]);
    if (fixture.sampleFormat == LibXISF::Image::Float32 || fixture.sampleFormat == LibXISF::Image::Float64)
        a["bounds"] = QStringLiteral("0:1");
    if (!fixture.pixelStorage.isEmpty())
        a["pixelStorage"] = fixture.pixelStorage;
    if (!fixture.colorSpace.isEmpty())
        a["colorSpace"] = fixture.colorSpace;

    const size_t sampleSize = xisfSampleSize(fixture.sampleFormat);
    QByteArray block = fixture.samples;
    if (fixture.bigEndian) {
        const bool complex =
            fixture.sampleFormat == LibXISF::Image::Complex32 || fixture.sampleFormat == LibXISF::Image::Complex64;
        block = swapped(block, complex ? sampleSize / 2 : sampleSize);
        a["byteOrder"] = QStringLiteral("big");
    }
    if (!fixture.codec.isEmpty()) {
        const int uncompressed = block.size();
        if (fixture.shuffle)
            block = shuffled(block, sampleSize);
        if (fixture.subBlocks > 1) {
            QStringList sizes;
            QByteArray joined;
            const int step = (block.size() + fixture.subBlocks - 1) / fixture.subBlocks;
            for (int pos = 0; pos < block.size(); pos += step) {
                const QByteArray part = block.mid(pos, step);
                const QByteArray packed = compressed(part, fixture.codec);
                sizes << QStringLiteral("%1,%2").arg(packed.size()).arg(part.size());
                joined += packed;
            }
            block = joined;
            a["subblocks"] = sizes.join(':');
        } else {
            block = compressed(block, fixture.codec);
        }
        a["compression"] = fixture.shuffle ? QStringLiteral("%1+sh:%2:%3").arg(fixture.codec).arg(uncompressed).arg(sampleSize)
                                        : QStringLiteral("%1:%2").arg(fixture.codec).arg(uncompressed);
    }

    switch (fixture.location) {
    case XisfLocation::Attachment:
        encoded.attachment = block;
        break;
    case XisfLocation::InlineBase64:
        a["location"] = QStringLiteral("inline:base64");
        encoded.text = block.toBase64();
        break;
    case XisfLocation::InlineHex:
        a["location"] = QStringLiteral("inline:hex");
        encoded.text = block.toHex();
        break;
    case XisfLocation::EmbeddedBase64:
    case XisfLocation::EmbeddedHex:
        a["location"] = QStringLiteral("embedded");
        encoded.text = fixture.location == XisfLocation::EmbeddedHex ? block.toHex() : block.toBase64();
        break;
    }
    return encoded;
}

QString escaped(const std::string &text)
{
    return QString::fromStdString(text).toHtmlEscaped();
}

QByteArray headerXml(const std::vector<XisfFixture> &fixtures, std::vector<EncodedImage> &encoded,
                     const std::vector<qint64> &positions)
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<xisf version=\"1.0\" xmlns=\"http://www.pixinsight.com/xisf\" "
                                 "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n");
    for (size_t i = 0; i < fixtures.size(); ++i) {
        const XisfFixture &fixture = fixtures[i];
        QMap<QString, QString> attributes = encoded[i].attributes;
        if (fixture.location == XisfLocation::Attachment)
            attributes["location"] = QStringLiteral("attachment:%1:%2").arg(positions[i]).arg(encoded[i].attachment.size());
        for (auto it = fixture.attributes.begin(); it != fixture.attributes.end(); ++it) {
            if (it.value().isNull())
                attributes.remove(it.key());
            else
                attributes[it.key()] = it.value();
        }
        xml += QStringLiteral("<Image");
        for (auto it = attributes.begin(); it != attributes.end(); ++it)
            xml += QStringLiteral(" %1=\"%2\"").arg(it.key(), it.value().toHtmlEscaped());
        xml += QStringLiteral(">");
        for (const LibXISF::FITSKeyword &k : fixture.keywords) {
            xml += QStringLiteral("<FITSKeyword name=\"%1\" value=\"%2\" comment=\"%3\"/>")
                       .arg(escaped(k.name), escaped(k.value), escaped(k.comment));
        }
        xml += fixture.extraXml;
        const QString text = QString::fromLatin1(encoded[i].text);
        if (fixture.location == XisfLocation::InlineBase64 || fixture.location == XisfLocation::InlineHex) {
            xml += text;
        } else if (fixture.location != XisfLocation::Attachment) {
            xml += QStringLiteral("<Data encoding=\"%1\">%2</Data>")
                       .arg(fixture.location == XisfLocation::EmbeddedHex ? "hex" : "base64", text);
        }
        xml += QStringLiteral("</Image>\n");
    }
    xml += QStringLiteral("</xisf>\n");
    return xml.toUtf8();
}

} // namespace

size_t xisfSampleSize(LibXISF::Image::SampleFormat format)
{
    return LibXISF::Image::sampleFormatSize(format);
}

QByteArray xisfContainer(const QByteArray &xml, const QByteArray &tail)
{
    QByteArray out("XISF0100");
    const quint32 length = quint32(xml.size());
    for (int i = 0; i < 4; ++i)
        out.append(char((length >> (8 * i)) & 0xff));
    out.append(4, '\0');
    out += xml;
    out += tail;
    return out;
}

QByteArray xisfFile(const std::vector<XisfFixture> &images)
{
    std::vector<EncodedImage> encoded;
    for (const XisfFixture &fixture : images)
        encoded.push_back(encode(fixture));

    // Attachment positions depend on the header length and the other way
    // round; a few rounds settle both.
    std::vector<qint64> positions(images.size(), 0);
    QByteArray xml;
    for (int round = 0; round < 8; ++round) {
        xml = headerXml(images, encoded, positions);
        std::vector<qint64> next(images.size(), 0);
        qint64 position = 16 + xml.size();
        for (size_t i = 0; i < images.size(); ++i) {
            next[i] = position;
            position += encoded[i].attachment.size();
        }
        if (next == positions)
            break;
        positions = next;
    }
    QByteArray tail;
    for (const EncodedImage &e : encoded)
        tail += e.attachment;
    return xisfContainer(xml, tail);
}

bool writeXisfFile(const QString &path, const std::vector<XisfFixture> &images)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray bytes = xisfFile(images);
    return file.write(bytes) == bytes.size();
}
