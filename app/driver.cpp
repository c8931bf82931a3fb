#include "app/driver.h"

#include "app/metadata.h"
#include "app/previews.h"
#include "app/version.h"
#include "image/source_kind.h"
#include "stretch/fits_preview.h"

#include <QBuffer>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QColorSpace>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <QStringList>

#include <array>
#include <cstdio>

namespace {

// Thumbnails are always this wide, whatever "max-width" says.
constexpr int kThumbnailWidth = 100;

// A message must stay on one line whatever a file name holds.
QString oneLine(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text;
}

void reportFailure(const char *verb, const QString &file, const QString &reason)
{
    const QString line = QStringLiteral("skyimg: cannot %1 %2: %3\n")
                             .arg(QLatin1String(verb), oneLine(file), oneLine(reason));
    std::fputs(line.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

int parsedOr(const QString &text, int fallback)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : fallback;
}

// The output name that means standard output, by the usual convention.
const QLatin1String kStandardOutput("-");

bool writeToStdout(const QByteArray &bytes, QString *error)
{
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.flush()) {
        *error = out.errorString();
        return false;
    }
    return true;
}

// The name a failure message gives an output.
QString outputName(const QString &output)
{
    return output == kStandardOutput ? QStringLiteral("standard output") : output;
}

// A picture whose every pixel is opaque neutral grey, as one grey channel:
// the JPEG, PNG and TIFF writers then store one sample per pixel instead of
// three, and decoders return the same values. Only the builders' grey-palette
// and RGB32 pictures are looked at; anything else comes back as it is. So
// does a picture tagged with a colour space other than sRGB (what an untagged
// picture means anyway): libpng refuses an RGB profile on grey data, with a
// warning on standard error.
QImage greyIfNeutral(const QImage &picture)
{
    const QColorSpace space = picture.colorSpace();
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb))
        return picture;
    const bool indexed = picture.format() == QImage::Format_Indexed8;
    if (!indexed && picture.format() != QImage::Format_RGB32)
        return picture;

    // Grey level of each palette entry; -1 for a colour, a transparent
    // entry or an index beyond the palette.
    std::array<int, 256> level;
    level.fill(-1);
    if (indexed) {
        const QVector<QRgb> table = picture.colorTable();
        for (int i = 0; i < table.size() && i < 256; ++i) {
            const QRgb c = table[i];
            if (qAlpha(c) == 255 && qRed(c) == qGreen(c) && qRed(c) == qBlue(c))
                level[size_t(i)] = qRed(c);
        }
    }
    QImage grey(picture.size(), QImage::Format_Grayscale8);
    if (grey.isNull())
        return picture;
    for (int y = 0; y < picture.height(); ++y) {
        uchar *out = grey.scanLine(y);
        if (indexed) {
            const uchar *in = picture.constScanLine(y);
            for (int x = 0; x < picture.width(); ++x) {
                const int value = level[in[x]];
                if (value < 0)
                    return picture;
                out[x] = uchar(value);
            }
        } else {
            const QRgb *in = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
            for (int x = 0; x < picture.width(); ++x) {
                const int red = qRed(in[x]);
                if (qGreen(in[x]) != red || qBlue(in[x]) != red)
                    return picture;
                out[x] = uchar(red);
            }
        }
    }
    grey.setDotsPerMeterX(picture.dotsPerMeterX());
    grey.setDotsPerMeterY(picture.dotsPerMeterY());
    grey.setOffset(picture.offset());
    for (const QString &key : picture.textKeys())
        grey.setText(key, picture.text(key));
    return grey;
}

int printMetadata(const QString &source, InputClass inputClass)
{
    QString error;
    QByteArray record;
    switch (inputClass) {
    case InputClass::Raw:
        record = rawMetadata(source, &error);
        break;
    case InputClass::FitsXisf:
        record = fitsMetadata(source, &error);
        break;
    case InputClass::Picture:
        record = imageMetadata(source, &error);
        if (record.isEmpty()) {
            reportFailure("read", source, error.isEmpty() ? QStringLiteral("no metadata record") : error);
            return -1;
        }
        break;
    case InputClass::Unsupported:
        reportFailure("read", source, QStringLiteral("unsupported file type"));
        return -1;
    }
    // A record made from a failed load is still printed, as callers expect
    // one; the reason goes to standard error.
    if (!error.isEmpty())
        reportFailure("read", source, error);
    if (!writeToStdout(record, &error)) {
        reportFailure("write", QStringLiteral("standard output"), error);
        return -1;
    }
    return 0;
}

int writePicture(const QString &source, InputClass inputClass, const QString &output, int widthLimit,
                 const QByteArray &format, int quality)
{
    QString error;
    QImage picture;
    switch (inputClass) {
    case InputClass::Raw:
        picture = rawPreview(source, widthLimit, quality, &error);
        break;
    case InputClass::FitsXisf:
        picture = fitsPreview(source, widthLimit, quality, &error);
        break;
    case InputClass::Picture:
        picture = imagePreview(source, widthLimit, quality, &error);
        break;
    case InputClass::Unsupported:
        reportFailure("read", source, QStringLiteral("unsupported file type"));
        return -1;
    }
    if (picture.isNull()) {
        reportFailure("read", source, error.isEmpty() ? QStringLiteral("no picture could be made") : error);
        return -1;
    }
    if (!savePicture(picture, output, format, quality, &error)) {
        reportFailure("write", outputName(output), error);
        return -1;
    }
    return 0;
}

} // namespace

InputClass classifySource(const QString &path)
{
    switch (sourceKindOf(path)) {
    case SourceKind::Raw:
        return InputClass::Raw;
    case SourceKind::Fits:
    case SourceKind::Xisf:
        return InputClass::FitsXisf;
    case SourceKind::Picture:
        return InputClass::Picture;
    case SourceKind::Unsupported:
        break;
    }
    return InputClass::Unsupported;
}

bool savePicture(const QImage &picture, const QString &path, const QByteArray &format, int quality,
                 QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    // Encoding into memory first keeps an unknown format or a failing
    // encoder from touching the output path at all.
    QByteArray bytes;
    {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format);
        writer.setQuality(quality);
        if (!writer.write(greyIfNeutral(picture))) {
            *error = writer.errorString();
            return false;
        }
    }

    if (path == kStandardOutput)
        return writeToStdout(bytes, error);

    const QFileInfo target(path);
    if (target.exists() && !target.isFile() && !target.isDir()) {
        // Devices and pipes (/dev/stdout, a FIFO) cannot be replaced by a
        // renamed file, and must never be removed: they are written in place.
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()) {
            *error = file.errorString();
            return false;
        }
        return true;
    }

    // The picture appears under its name only once it is complete; a failed
    // write (full disk) removes the temporary file and leaves any old file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

int runDriver(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Small Skylathe OS tool to process FITS/XISF/RAW files."));
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("Source FITS/XISF/RAW file"));
    const QCommandLineOption qualityOption(QStringLiteral("q"), QStringLiteral("JPEG quality."),
                                           QStringLiteral("quality"));
    const QCommandLineOption formatOption(QStringLiteral("f"), QStringLiteral("Generated output format"),
                                          QStringLiteral("format"));
    const QCommandLineOption widthOption(QStringLiteral("max-width"), QStringLiteral("Maximum output width"),
                                         QStringLiteral("width"));
    const QCommandLineOption previewOption(QStringLiteral("save-preview"), QStringLiteral("Generate preview."),
                                           QStringLiteral("file"));
    const QCommandLineOption thumbOption(QStringLiteral("save-thumb"), QStringLiteral("Generate thumb."),
                                         QStringLiteral("file"));
    const QCommandLineOption metaOption(QStringLiteral("meta"), QStringLiteral("Generate metadata."));
    parser.addOption(qualityOption);
    parser.addOption(formatOption);
    parser.addOption(widthOption);
    parser.addOption(previewOption);
    parser.addOption(thumbOption);
    parser.addOption(metaOption);
    // The version text lists the libraries too, so the parser's own
    // printing is taken over for that one option; errors and help stay its.
    if (!parser.parse(app.arguments()))
        parser.process(app);
    if (parser.isSet(versionOption)) {
        std::fputs(qPrintable(versionText()), stdout);
        return 0;
    }
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        qCritical() << parser.helpText();
        return -1;
    }
    const QString source = positional.first();
    if (!QFileInfo::exists(source)) {
        qCritical() << "File" << source << "is not found!";
        return -1;
    }
    // A folder named like an image would reach a loader and fail there with
    // a library's read error; it is no source file at all.
    if (QFileInfo(source).isDir()) {
        reportFailure("read", source, QStringLiteral("it is a directory"));
        return -1;
    }

    const InputClass inputClass = classifySource(source);
    const QByteArray format =
        parser.isSet(formatOption) ? parser.value(formatOption).toLatin1() : QByteArrayLiteral("jpg");
    const int quality = parser.isSet(qualityOption) ? parsedOr(parser.value(qualityOption), 80) : 80;
    const int widthLimit = parser.isSet(widthOption) ? parsedOr(parser.value(widthOption), 0) : 0;

    if (parser.isSet(metaOption))
        return printMetadata(source, inputClass);
    if (parser.isSet(previewOption))
        return writePicture(source, inputClass, parser.value(previewOption), widthLimit, format, quality);
    if (parser.isSet(thumbOption))
        return writePicture(source, inputClass, parser.value(thumbOption), kThumbnailWidth, format, quality);
    return 0;
}
