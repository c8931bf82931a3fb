#include "image/header_cards.h"

#include "image/cfitsio.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kCardLength = kFitsCardBytes;
constexpr int kKeywordLength = 8;

// One card as CFITSIO's card routines expect it: NUL-terminated, at most 80
// characters (a short last card of a damaged text stays short).
struct Card {
    char text[kCardLength + 1] = {};
    int length = 0;

    Card(const char *start, size_t available)
    {
        length = int(std::min<size_t>(available, kCardLength));
        std::memcpy(text, start, size_t(length));
        text[length] = '\0';
    }
};

bool keywordFieldIs(const Card &card, const char *keyword)
{
    char field[kKeywordLength + 1];
    std::memset(field, ' ', kKeywordLength);
    field[kKeywordLength] = '\0';
    std::memcpy(field, card.text, size_t(std::min(card.length, kKeywordLength)));
    char wanted[kKeywordLength + 1];
    std::memset(wanted, ' ', kKeywordLength);
    wanted[kKeywordLength] = '\0';
    std::memcpy(wanted, keyword, std::strlen(keyword));
    return std::memcmp(field, wanted, kKeywordLength) == 0;
}

// The standard puts the value indicator in column 9. Some writers put it
// right after a shorter keyword or after blanks following it; HIERARCH
// cards put it after their long name. "=" anywhere else is text.
bool hasValueIndicator(const Card &card)
{
    if (std::strncmp(card.text, "HIERARCH ", 9) == 0)
        return std::strchr(card.text, '=') != nullptr;
    int i = 0;
    while (i < card.length && i < kKeywordLength && card.text[i] != ' ' && card.text[i] != '=')
        ++i;
    if (i == 0)
        return false;
    while (i < card.length && i < kKeywordLength && card.text[i] == ' ')
        ++i;
    return i < card.length && i <= kKeywordLength && card.text[i] == '=';
}

HeaderRecord commentaryRecord(const Card &card)
{
    HeaderRecord record;
    int keyLength = std::min(card.length, kKeywordLength);
    while (keyLength > 0 && card.text[keyLength - 1] == ' ')
        --keyLength;
    record.key = QString::fromLatin1(card.text, keyLength);
    if (card.length > kKeywordLength)
        record.comment = QString::fromLatin1(card.text + kKeywordLength).simplified();
    return record;
}

struct CardValue {
    QString text;
    QString comment;
    bool quoted = false;
};

// Value and comment of a value card through CFITSIO's own parser, which
// knows where a quoted string ends and where the comment begins.
bool parseValue(char *card, CardValue &out)
{
    char value[FLEN_CARD + 1] = {};
    char comment[FLEN_CARD + 1] = {};
    int status = 0;
    fits_parse_value(card, value, comment, &status);
    if (status)
        return false;
    out.comment = QString::fromLatin1(comment);
    out.quoted = value[0] == '\'';
    if (out.quoted) {
        char text[FLEN_CARD + 1] = {};
        if (ffc2s(value, text, &status) == 0)
            out.text = QString::fromLatin1(text);
        else
            out.text = QString::fromLatin1(value + 1);
    } else {
        out.text = QString::fromLatin1(value);
    }
    return true;
}

// The long-string convention: a string ending in "&" goes on in the quoted
// string of the next CONTINUE card. Returns the number of cards consumed.
int joinContinuations(const char *text, size_t textLength, int next, int cardCount, CardValue &value)
{
    int consumed = 0;
    while (value.quoted && value.text.endsWith(QLatin1Char('&')) && next + consumed < cardCount) {
        const size_t offset = size_t(next + consumed) * kCardLength;
        Card card(text + offset, textLength - offset);
        if (!keywordFieldIs(card, "CONTINUE"))
            break;
        // The continued string sits from column 11 on; a stand-in keyword
        // with a value indicator lets fits_parse_value parse it like any value.
        Card standIn("CONTVAL =", 9);
        std::memcpy(standIn.text + 9, card.text + std::min(card.length, 9), size_t(std::max(card.length - 9, 0)));
        standIn.length = 9 + std::max(card.length - 9, 0);
        standIn.text[standIn.length] = '\0';
        CardValue piece;
        if (!parseValue(standIn.text, piece) || !piece.quoted)
            break;
        value.text.chop(1);
        value.text += piece.text;
        if (!piece.comment.isEmpty())
            value.comment += QLatin1Char(' ') + piece.comment;
        ++consumed;
    }
    return consumed;
}

} // namespace

QVariant typedCardValue(const QString &text, bool quoted)
{
    // QString's conversions, not QVariant's: QVariant::toInt accepts
    // 3000000000 and wraps it to a negative int.
    bool ok = false;
    const int integer = text.toInt(&ok);
    if (ok)
        return integer;
    const double real = text.toDouble(&ok);
    if (ok)
        return real;
    if (!quoted && (text.contains(QLatin1Char('D')) || text.contains(QLatin1Char('d')))) {
        // FITS writes double-precision exponents with a D.
        QString exponent = text;
        exponent.replace(QLatin1Char('D'), QLatin1Char('E')).replace(QLatin1Char('d'), QLatin1Char('e'));
        const double converted = exponent.toDouble(&ok);
        if (ok)
            return converted;
    }
    return text;
}

QList<HeaderRecord> parseHeaderCards(const char *text, int cardCount)
{
    QList<HeaderRecord> records;
    if (!text || cardCount <= 0)
        return records;
    const size_t textLength = std::strlen(text);
    const int available = int(std::min<size_t>(size_t(cardCount), (textLength + kCardLength - 1) / kCardLength));
    records.reserve(available);

    // A string without its closing quote makes fits_parse_value note a message on
    // CFITSIO's error stack; it is no error of the load, so drop it again.
    fits_write_errmark();
    for (int i = 0; i < available; ++i) {
        const size_t offset = size_t(i) * kCardLength;
        Card card(text + offset, textLength - offset);
        if (keywordFieldIs(card, "COMMENT") || keywordFieldIs(card, "HISTORY") || keywordFieldIs(card, "")
            || !hasValueIndicator(card)) {
            records.append(commentaryRecord(card));
            continue;
        }
        char name[FLEN_CARD + 1] = {};
        int nameLength = 0;
        int status = 0;
        fits_get_keyname(card.text, name, &nameLength, &status);
        CardValue value;
        if (status || nameLength == 0 || !parseValue(card.text, value)) {
            records.append(commentaryRecord(card));
            continue;
        }
        i += joinContinuations(text, textLength, i + 1, available, value);
        HeaderRecord record;
        record.key = QString::fromLatin1(name, nameLength);
        record.value = typedCardValue(value.text, value.quoted);
        record.comment = value.comment.simplified();
        records.append(record);
    }
    fits_clear_errmark();
    return records;
}
