#pragma once

#include "image/image_types.h"

#include <QByteArray>
#include <QList>

// The header as WCSLIB parses it when no FITS file is open: one 80-byte card
// per record ("KEY     = value / comment", padded or cut) and an END card.
QByteArray headerCardText(const QList<HeaderRecord> &records);
