#include "image/fits_card.h"

#include <algorithm>
#include <cstring>

bool fitsKeywordIs(const char *card, const char *keyword)
{
    char wanted[kFitsKeywordBytes];
    std::memset(wanted, ' ', kFitsKeywordBytes);
    std::memcpy(wanted, keyword, std::min(std::strlen(keyword), size_t(kFitsKeywordBytes)));
    return std::memcmp(card, wanted, kFitsKeywordBytes) == 0;
}

bool FitsCard::keywordIs(const char *keyword) const
{
    char field[kFitsKeywordBytes];
    std::memset(field, ' ', kFitsKeywordBytes);
    std::memcpy(field, text, size_t(std::min(length, kFitsKeywordBytes)));
    return fitsKeywordIs(field, keyword);
}

bool FitsCard::hasValueIndicator() const
{
    if (std::strncmp(text, "HIERARCH ", 9) == 0)
        return std::strchr(text, '=') != nullptr;
    int i = 0;
    while (i < length && i < kFitsKeywordBytes && text[i] != ' ' && text[i] != '=')
        ++i;
    if (i == 0)
        return false;
    while (i < length && i < kFitsKeywordBytes && text[i] == ' ')
        ++i;
    return i < length && i <= kFitsKeywordBytes && text[i] == '=';
}

FitsCard cardAt(const char *start, size_t available)
{
    FitsCard card;
    card.length = int(std::min<size_t>(available, kFitsCardBytes));
    std::memcpy(card.text, start, size_t(card.length));
    return card;
}

void splitCard(FitsCard &card, bool withComment)
{
    char name[FLEN_CARD + 1] = {};
    int nameLength = 0, status = 0;
    fits_get_keyname(card.text, name, &nameLength, &status);
    card.name = QByteArray(name, nameLength);

    // CFITSIO's value parser writes past a buffer of its own size FLEN_VALUE
    // when a doubled quote straddles its last places; room for the whole card
    // lets such a value be seen, and refused, by the structure walk.
    char value[kFitsCardBytes + 8] = {};
    status = 0;
    fits_parse_value(card.text, value, withComment ? card.comment : nullptr, &status);
    card.parsed = status == 0;
    if (card.parsed)
        card.value = QByteArray(value);
    else
        card.comment[0] = '\0';
}

FitsCard tokenizeCard(const char *start, size_t available, bool withComment)
{
    FitsCard card = cardAt(start, available);
    splitCard(card, withComment);
    return card;
}

QByteArray fitsStringText(const QByteArray &value, bool *closed)
{
    QByteArray text;
    bool found = false;
    for (int at = 1; at < value.size(); ++at) {
        if (value[at] == '\'') {
            if (at + 1 < value.size() && value[at + 1] == '\'') {
                ++at;
            } else {
                found = true;
                break;
            }
        }
        text += value[at];
    }
    if (closed)
        *closed = found;
    return text;
}
