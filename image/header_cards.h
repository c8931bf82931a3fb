#pragma once

#include "image/image_types.h"

#include <QList>
#include <QVariant>

// Turns a header text of `cardCount` 80-character cards (as CFITSIO's
// ffhdr2str returns it) into records, in file order. Value cards get a typed
// value; COMMENT, HISTORY, blank-keyword cards and cards without a value
// indicator get an invalid value and their text as comment. Long strings
// continued on CONTINUE cards become one record. Reads no further than the
// text's terminating NUL.
QList<HeaderRecord> parseHeaderCards(const char *text, int cardCount);

// The value of a header card as a record holds it: Int when the text
// converts to an int, else Double when it converts to a real (a FITS "D"
// exponent included when `quoted` is false), else the String itself.
QVariant typedCardValue(const QString &text, bool quoted);
