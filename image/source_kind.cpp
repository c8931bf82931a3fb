#include "image/source_kind.h"

#include <QImageReader>

const QStringList &rawSuffixList()
{
    static const QStringList list = {"cr2", "cr3", "crw", "nef", "raf", "dng", "arw"};
    return list;
}

SourceKind sourceKindOf(const QString &path)
{
    // "fz" counts as FITS because the image object unpacks packed files.
    static const QStringList fits = {"fits", "fit", "fz"};
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    const QString suffix = (dot < 0 ? path : path.mid(dot + 1)).toLower();
    if (rawSuffixList().contains(suffix))
        return SourceKind::Raw;
    if (fits.contains(suffix))
        return SourceKind::Fits;
    if (suffix == QLatin1String("xisf"))
        return SourceKind::Xisf;
    if (QImageReader::supportedImageFormats().contains(suffix.toLatin1()))
        return SourceKind::Picture;
    return SourceKind::Unsupported;
}
