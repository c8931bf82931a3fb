#pragma once

#include "image/image_types.h"

#include <QList>

// Turns a header text of `cardCount` 80-character cards into records, in
// file order.
QList<HeaderRecord> parseHeaderCards(const char *text, int cardCount);
