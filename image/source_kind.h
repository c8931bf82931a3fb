#pragma once

#include <QString>
#include <QStringList>

// What a source file is, decided by its name alone, never by its content.
// The command-line driver and the image object's loader dispatch both ask
// here, so that a file is read by the loader the driver chose it for.
enum class SourceKind { Fits, Xisf, Raw, Picture, Unsupported };

// Kind of `path` by the lower-cased text after its last "." (the whole path
// when it has none): camera RAW first, then FITS (packed ".fz" files
// included), XISF, then any format the image library reads.
SourceKind sourceKindOf(const QString &path);

// The suffixes that sourceKindOf() routes to LibRaw.
const QStringList &rawSuffixList();
