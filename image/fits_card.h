#pragma once

#include "image/cfitsio.h"

#include <QByteArray>

#include <cstddef>

// Columns 1 to 8 of a card hold its keyword, padded with blanks.
constexpr int kFitsKeywordBytes = 8;

// One header card split by CFITSIO's own card parsers, so that code reading
// a card here sees the name, value and comment that CFITSIO's keyword
// readers will see. The header records and the structure walk read cards
// this way; world coordinates cannot (see world_coords.cpp).
struct FitsCard {
    // The card NUL-terminated, as CFITSIO's card routines take it: at most
    // 80 characters, a short last card of a damaged text kept short.
    char text[kFitsCardBytes + 1] = {};
    int length = 0;
    // Up to a blank or '=', or a HIERARCH card's long name.
    QByteArray name;
    // The value with a string's quotes (and its doubled quotes) kept, and
    // the comment after it when asked for; both empty on a card without a
    // value.
    QByteArray value;
    char comment[FLEN_CARD + 1] = {};
    // False when CFITSIO cannot parse the value at all (a complex number
    // without its ')'); then value and comment are empty.
    bool parsed = false;

    // Whether columns 1 to 8 are `keyword` padded with blanks; "" asks for
    // a blank keyword.
    bool keywordIs(const char *keyword) const;
    // Whether the card has a value indicator where a writer may put one:
    // in column 9 as the standard says, right after a shorter keyword or
    // after blanks following it, or, on a HIERARCH card, anywhere. Elsewhere
    // an '=' is text. CFITSIO's value parser takes the first '=' of any card,
    // which is what the structure walk must follow; a header record asks
    // this first.
    bool hasValueIndicator() const;
    bool quoted() const { return value.startsWith('\''); }
};

// The card of `available` bytes at `start`, of which the first 80 count,
// copied but not split: enough for keywordIs and hasValueIndicator.
FitsCard cardAt(const char *start, size_t available = kFitsCardBytes);
// Fills in the name, the value and, `withComment`, the comment. Copying out
// the comment doubles the parser's work, so it is done only when asked for.
void splitCard(FitsCard &card, bool withComment);
// cardAt and splitCard in one.
FitsCard tokenizeCard(const char *start, size_t available = kFitsCardBytes, bool withComment = false);

// Whether the eight keyword columns of `card` (which holds at least eight
// bytes) are `keyword` padded with blanks.
bool fitsKeywordIs(const char *card, const char *keyword);

// The text of a quoted string value: from after its opening quote to its
// closing one, '' read as one quote, blanks kept. `closed` tells whether the
// closing quote was found; without it the text runs to the value's end.
QByteArray fitsStringText(const QByteArray &value, bool *closed = nullptr);
