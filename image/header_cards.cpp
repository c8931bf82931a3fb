#include "image/header_cards.h"

#include "image/fits_card.h"

#include <algorithm>
#include <cstring>

namespace {

HeaderRecord commentaryRecord(const FitsCard &card)
{
    HeaderRecord record;
    int keyLength = std::min(card.length, kFitsKeywordBytes);
    while (keyLength > 0 && card.text[keyLength - 1] == ' ')
        --keyLength;
    record.key = QString::fromLatin1(card.text, keyLength);
    if (card.length > kFitsKeywordBytes)
        record.comment = QString::fromLatin1(card.text + kFitsKeywordBytes).simplified();
    return record;
}

struct CardValue {
    QString text;
    QString comment;
    bool quoted = false;
};

// A string's text as CFITSIO's keyword readers return it: blanks before the
// closing quote are dropped, leading ones are part of the value. A string
// without its closing quote stays as it stands after the opening one.
QString recordString(const QByteArray &value)
{
    bool closed = false;
    QByteArray text = fitsStringText(value, &closed);
    if (!closed)
        return QString::fromLatin1(value.mid(1));
    int length = text.size();
    while (length > 0 && text[length - 1] == ' ')
        --length;
    text.truncate(length);
    return QString::fromLatin1(text);
}

bool valueOf(const FitsCard &card, CardValue &out)
{
    if (!card.parsed)
        return false;
    out.comment = QString::fromLatin1(card.comment);
    out.quoted = card.quoted();
    out.text = out.quoted ? recordString(card.value) : QString::fromLatin1(card.value);
    return true;
}

// The long-string convention: a string ending in "&" goes on in the quoted
// string of the next CONTINUE card. Returns the number of cards consumed.
int joinContinuations(const char *text, size_t textLength, int next, int cardCount, CardValue &value)
{
    int consumed = 0;
    while (value.quoted && value.text.endsWith(QLatin1Char('&')) && next + consumed < cardCount) {
        const size_t offset = size_t(next + consumed) * kFitsCardBytes;
        const FitsCard card = tokenizeCard(text + offset, textLength - offset);
        if (!card.keywordIs("CONTINUE"))
            break;
        // The continued string sits from column 11 on; a stand-in keyword
        // with a value indicator lets CFITSIO parse it like any value.
        char standIn[kFitsCardBytes] = {'C', 'O', 'N', 'T', 'V', 'A', 'L', ' ', '='};
        const int rest = std::max(card.length - 9, 0);
        std::memcpy(standIn + 9, card.text + std::min(card.length, 9), size_t(rest));
        CardValue piece;
        if (!valueOf(tokenizeCard(standIn, size_t(9 + rest), true), piece) || !piece.quoted)
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
    const int available = int(std::min<size_t>(size_t(cardCount), (textLength + kFitsCardBytes - 1) / kFitsCardBytes));
    records.reserve(available);

    // A string without its closing quote makes fits_parse_value note a message on
    // CFITSIO's error stack; it is no error of the load, so drop it again.
    const ErrorMessageMark mark;
    for (int i = 0; i < available; ++i) {
        const size_t offset = size_t(i) * kFitsCardBytes;
        FitsCard card = cardAt(text + offset, textLength - offset);
        const bool commentary = card.keywordIs("COMMENT") || card.keywordIs("HISTORY") || card.keywordIs("")
                                || !card.hasValueIndicator();
        if (!commentary)
            splitCard(card, true);
        CardValue value;
        if (commentary || card.name.isEmpty() || !valueOf(card, value)) {
            records.append(commentaryRecord(card));
            continue;
        }
        i += joinContinuations(text, textLength, i + 1, available, value);
        HeaderRecord record;
        record.key = QString::fromLatin1(card.name);
        record.value = typedCardValue(value.text, value.quoted);
        record.comment = value.comment.simplified();
        records.append(record);
    }
    return records;
}
