#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// Input classes of a source file, decided by its suffix alone.
enum class InputClass { Raw, FitsXisf, Picture, Unsupported };

// Class of `path` by the lower-cased text after its last ".": camera RAW
// first, then FITS/XISF (packed ".fz" files included), then any format the
// image library reads.
InputClass classifySource(const QString &path);

// Encodes `picture` with the writer for `format` and stores it at `path`,
// or writes it to standard output when `path` is "-". A picture whose every
// pixel is neutral grey is encoded as 8-bit grey. A failed encode or write
// leaves no new or partial file behind; `error` then says why.
bool savePicture(const QImage &picture, const QString &path, const QByteArray &format, int quality,
                 QString *error);

// Runs the command-line tool and returns the process exit status.
int runDriver(int argc, char **argv);
