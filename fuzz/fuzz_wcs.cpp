// libFuzzer target: header text as 80-character cards into header records,
// then world coordinates from those records, the way an XISF image's FITS
// keywords reach WCSLIB.
//
// Input: the header text itself; a NUL ends it early, as in CFITSIO's
// header strings.

#include "fuzz/fuzz_support.h"
#include "image/header_cards.h"
#include "image/world_coords.h"

#include <QByteArray>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // WCSLIB parses every card of the text; a few thousand cards reach
    // everything it does.
    if (size > (1u << 20))
        return 0;
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));
    const int cardCount = int((size + 79) / 80);

    FITSData image;
    image.headerRecords = parseHeaderCards(text.constData(), cardCount);
    image.loadWorldCoordinates();
    // A second load keeps a loaded system and retries a failed one.
    image.loadWorldCoordinates();
    return 0;
}
