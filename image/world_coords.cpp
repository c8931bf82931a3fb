#include "image/world_coords.h"

#include "image/c_locale.h"
#include "image/fits_card.h"
#include "image/fits_data.h"
#include "image/limits.h"

#include <QRegularExpression>

#include <wcslib/wcsfix.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCardLength = kFitsCardBytes;

// WCSLIB parses the header text itself, by its own rules rather than
// CFITSIO's: it takes a keyword's value only from a card with "= " in
// columns 9 and 10, never after a shorter keyword or from a HIERARCH card.
// The checks below guard WCSLIB against cards it misreads, so they read the
// text as WCSLIB will (every card with '=' in column 9, the blank after it
// not required) and not through tokenizeCard; only the keyword columns and
// the quoted-string syntax are shared.
bool wcsValueCard(const QByteArray &header, int at)
{
    return header[at + kFitsKeywordBytes] == '=';
}

QByteArray fittedCard(QByteArray card)
{
    if (card.size() > kCardLength)
        card.truncate(kCardLength);
    return card.leftJustified(kCardLength, ' ');
}

// Message-table lookups that never read past the end of the table.
const char *wcspihMessage(int status)
{
    if (status < 0 || status > WCSHDRERR_BAD_TABULAR_PARAMS)
        return "unknown error";
    return wcshdr_errmsg[status];
}

const char *wcssetMessage(int status)
{
    if (status < 0 || status > WCSERR_UNSET)
        return "unknown error";
    return wcs_errmsg[status];
}

// The largest axis count that a NAXIS or WCSAXESa card of the text declares,
// by magnitude (0 when none does); values that start with no number are
// passed over, since WCSLIB rejects them too.
double declaredAxisCount(const QByteArray &text)
{
    double largest = 0;
    for (int at = 0; at + kCardLength <= text.size(); at += kCardLength) {
        const QByteArray key = text.mid(at, kFitsKeywordBytes);
        const bool axisCount = fitsKeywordIs(key.constData(), "NAXIS") ||
                               (key.startsWith("WCSAXES") && (key[7] == ' ' || (key[7] >= 'A' && key[7] <= 'Z')));
        if (!axisCount || !wcsValueCard(text, at))
            continue;
        QByteArray value = text.mid(at + kFitsKeywordBytes + 1, kCardLength - kFitsKeywordBytes - 1);
        const int slash = value.indexOf('/');
        if (slash >= 0)
            value.truncate(slash);
        // The leading number counts, whatever follows it.
        const QByteArray number = value.trimmed();
        char *end = nullptr;
        // WCSLIB reads it into an int: a negative count beyond the int's
        // range wraps into a huge one.
        const double count = std::fabs(strtodC(number.constData(), &end));
        if (end != number.constData() && count > largest)
            largest = count;
    }
    return largest;
}

// The distortion keywords that WCSLIB translates into a distortion of the
// primary system: SIP polynomial coefficients (A_p_q, B_p_q, AP_p_q,
// BP_p_q), and the DSS plate solution, all numbers but for the sign of the
// plate centre's declination.
enum class Distortion { None, Number, Sign };

Distortion distortionKeyword(const QByteArray &keyword)
{
    static const QRegularExpression numbers(QStringLiteral(
        "^((A|B|AP|BP)_[0-9]+_[0-9]+|CNPIX[12]|PPO[36]|[XY]PIXELSZ|PLTRA[HMS]|PLTDEC[DMS]|AMD[XY][0-9]+)$"));
    if (keyword == "PLTDECSN")
        return Distortion::Sign;
    return numbers.match(QString::fromLatin1(keyword)).hasMatch() ? Distortion::Number : Distortion::None;
}

// A FITS real or integer as WCSLIB reads it, with an E or D exponent.
bool isFitsNumber(const QByteArray &value)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([EeDd][+-]?[0-9]+)?$"));
    return pattern.match(QString::fromLatin1(value)).hasMatch();
}

// The value field of a card without its comment.
QByteArray valueOf(const QByteArray &header, int at)
{
    const QByteArray value = header.mid(at + kFitsKeywordBytes + 2, kCardLength - kFitsKeywordBytes - 2).trimmed();
    if (value.startsWith('\''))
        return value;
    const int slash = value.indexOf('/');
    return (slash < 0 ? value : value.left(slash)).trimmed();
}

// Whether the cards so far show that the primary system has two axes or
// more: WCSLIB writes the two-axis description of a distortion into it
// whatever its size, and sizes it by the cards it has read when the
// distortion's first card comes.
struct TwoAxesEvidence {
    bool axisTypes[2] = {false, false};
    bool count = false;

    void read(const QByteArray &header, int at)
    {
        static const QRegularExpression atLeastTwo(QStringLiteral("^\\+?0*([2-9]|[1-9][0-9]+)$"));
        if (!wcsValueCard(header, at))
            return;
        const char *key = header.constData() + at;
        const QByteArray text = valueOf(header, at);
        // WCSLIB takes an axis type only as a string, and counts no axis
        // for a type it rejects.
        bool closed = false;
        if ((fitsKeywordIs(key, "CTYPE1") || fitsKeywordIs(key, "CTYPE2")) && text.startsWith('\''))
            fitsStringText(text, &closed);
        if (closed)
            axisTypes[key[5] - '1'] = true;
        // The last count read is the one that holds.
        static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
        const QString value = QString::fromLatin1(text);
        if ((fitsKeywordIs(key, "NAXIS") || fitsKeywordIs(key, "WCSAXES")) && integer.match(value).hasMatch())
            count = atLeastTwo.match(value).hasMatch();
    }
    bool shown() const { return count || (axisTypes[0] && axisTypes[1]); }
};

// Cards that WCSLIB 7.12 cannot take and that only a damaged header holds
// are blanked before it reads them:
// - a string value without its closing quote: the scanner runs on into the
//   next card and copies the lot into a fixed-size buffer (CTYPEia,
//   WCSNAME, RADESYS, ... overflow it);
// - a distortion card whose value is not what it must be (nothing, a
//   logical, a string, "1E" for a number): WCSLIB marks the distortion as
//   present, never sets it up, and dereferences a null pointer;
// - any distortion card unless the header shows two axes both before it
//   and at its end (the last NAXIS or WCSAXES 2 or more, or CTYPE1 and
//   CTYPE2 with string values): WCSLIB may have sized the primary system
//   with one, and writes the two-axis description past the end of its
//   arrays. Both distortions describe two celestial axes, and a FITS image
//   declares its NAXIS first; only a keyword set in another order loses
//   them.
void blankCardsWcslibMisreads(QByteArray &header)
{
    TwoAxesEvidence whole;
    for (int at = 0; at + kCardLength <= header.size(); at += kCardLength)
        whole.read(header, at);
    TwoAxesEvidence evidence;
    for (int at = 0; at + kCardLength <= header.size(); at += kCardLength) {
        evidence.read(header, at);
        const bool twoAxes = evidence.shown() && whole.shown();
        if (!wcsValueCard(header, at))
            continue;
        const QByteArray value = valueOf(header, at);
        bool closed = true;
        if (value.startsWith('\''))
            fitsStringText(value, &closed);
        bool broken = !closed;
        switch (distortionKeyword(header.mid(at, kFitsKeywordBytes).trimmed())) {
        case Distortion::Number:
            broken = broken || !twoAxes || !isFitsNumber(value);
            break;
        case Distortion::Sign:
            broken = broken || !twoAxes || !value.startsWith('\'');
            break;
        case Distortion::None:
            break;
        }
        if (broken)
            header.replace(at, kCardLength, QByteArray(kCardLength, ' '));
    }
}

} // namespace

// A value as it stands on a FITS card. Text values reach the records
// without their quotes (XISF keywords are all text, numbers included);
// WCSLIB rejects an unquoted CTYPE or CUNIT, so text that is not a number
// or a logical gets its quotes back, with inner quotes doubled.
QByteArray cardValue(const QVariant &value)
{
    if (value.userType() != QMetaType::QString)
        return value.toByteArray();
    const QString text = value.toString();
    bool number = false;
    text.trimmed().toDouble(&number);
    if (number || text == QLatin1String("T") || text == QLatin1String("F"))
        return text.toLatin1();
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("''"));
    return "'" + quoted.toLatin1() + "'";
}

QByteArray headerCardText(const QList<HeaderRecord> &records)
{
    QByteArray text;
    text.reserve((records.size() + 1) * kCardLength);
    for (const HeaderRecord &record : records) {
        QByteArray card = record.key.leftJustified(kFitsKeywordBytes, QLatin1Char(' ')).toLatin1();
        card += "= ";
        card += cardValue(record.value);
        card += " / ";
        card += record.comment.toLatin1();
        text += fittedCard(card);
    }
    text += fittedCard("END");
    return text;
}

void FITSData::loadWorldCoordinates()
{
    if (worldCoordState == 2)
        return;
    worldCoords.release();

    QByteArray header;
    int cardCount = 0;
    if (fitsHandle) {
        char *text = nullptr;
        int status = 0;
        // COMMENT and HISTORY cards carry nothing WCSLIB reads. A
        // tile-compressed image's header is read as the image's.
        fitsHeaderText(fitsHandle.get(), 1, &text, &cardCount, &status);
        if (status) {
            lastErrorText = fitsErrorText(status);
            worldCoordState = 3;
            int freeStatus = 0;
            if (text)
                fits_free_memory(text, &freeStatus);
            return;
        }
        // WCSLIB reads exactly cardCount cards: never more than the text holds.
        const size_t length = std::min(std::strlen(text), size_t(std::max(cardCount, 0)) * kCardLength);
        header = QByteArray(text, qsizetype(length - length % kCardLength));
        cardCount = int(header.size() / kCardLength);
        int freeStatus = 0;
        fits_free_memory(text, &freeStatus);
    } else {
        header = headerCardText(headerRecords);
        cardCount = headerRecords.size() + 1;
    }

    // Header text is printable ASCII by definition. WCSLIB's scanner
    // mishandles other bytes: a comment with bytes above 127 in the right
    // places sends wcspih into an endless loop. They carry nothing WCSLIB
    // could use, so they become blanks.
    for (char &c : header) {
        if (uchar(c) < 0x20 || uchar(c) > 0x7e)
            c = ' ';
    }

    blankCardsWcslibMisreads(header);

    const double axes = declaredAxisCount(header);
    if (axes > kMaxWcsAxes) {
        lastErrorText = QStringLiteral("world coordinates skipped: %1 axes declared").arg(axes);
        worldCoordState = 3;
        return;
    }

    // WCSLIB's header parser runs on a reentrant Flex scanner (since 5.19,
    // with a further fix in 7.5), so loads on several threads may parse at
    // once; rejected cards simply leave their keywords unset.
    int rejected = 0;
    const int status =
        wcspih(header.data(), cardCount, WCSHDR_all, 0, &rejected, &worldCoords.count, &worldCoords.wcs);
    if (status) {
        worldCoords.release();
        lastErrorText = QStringLiteral("wcspih ERROR %1: %2.").arg(status).arg(QLatin1String(wcspihMessage(status)));
        worldCoordState = 3;
        return;
    }
    // A structure without axes has no reference pixel to look at.
    if (!worldCoords.wcs || worldCoords.count == 0 || worldCoords.wcs[0].naxis < 1 || !worldCoords.wcs[0].crpix) {
        worldCoords.release();
        worldCoordState = 3;
        return;
    }
    // A reference pixel of exactly 0 is taken as a placeholder left by a
    // writer without a real solution; a NaN does not count as 0.
    if (worldCoords.wcs[0].crpix[0] == 0.0) {
        worldCoords.release();
        worldCoordState = 3;
        return;
    }
    cdfix(&worldCoords.wcs[0]);
    const int setStatus = wcsset(&worldCoords.wcs[0]);
    if (setStatus) {
        worldCoords.release();
        lastErrorText = QStringLiteral("wcsset error %1: %2.").arg(setStatus).arg(QLatin1String(wcssetMessage(setStatus)));
        worldCoordState = 3;
        return;
    }
    worldCoordState = 2;
    hasWCS = true;
}
