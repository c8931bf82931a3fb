#include "image/fits_structure.h"

#include "image/limits.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <vector>

namespace {

constexpr qint64 kBlock = 2880;
constexpr int kCard = 80;

// The file as a sequence of blocks, from memory or from disk.
class BlockSource
{
public:
    BlockSource(const QByteArray &bytes, const QString &path) : bytes(bytes)
    {
        if (bytes.isEmpty()) {
            file.setFileName(path);
            fromFile = file.open(QIODevice::ReadOnly);
            total = fromFile ? file.size() : 0;
        } else {
            total = bytes.size();
        }
    }
    qint64 size() const { return total; }
    // The block at `offset`, a short last one completed with zeros as the
    // loader's padded copies are; false past the end.
    bool block(qint64 offset, char *out)
    {
        if (offset < 0 || offset >= total)
            return false;
        const qint64 length = std::min(kBlock, total - offset);
        std::memset(out, 0, size_t(kBlock));
        if (!fromFile) {
            std::memcpy(out, bytes.constData() + offset, size_t(length));
            return true;
        }
        return file.seek(offset) && file.read(out, length) == length;
    }

private:
    const QByteArray &bytes;
    QFile file;
    bool fromFile = false;
    qint64 total = 0;
};

// The numeric value of a value card as CFITSIO would read it, if it has one.
bool cardNumber(const char *card, double &value)
{
    if (card[8] != '=')
        return false;
    char text[kCard] = {};
    std::memcpy(text, card + 10, kCard - 10);
    char *end = nullptr;
    value = std::strtod(text, &end);
    if (end == text || !std::isfinite(value))
        return false;
    while (*end == ' ')
        ++end;
    return *end == '\0' || *end == '/';
}

bool keywordIs(const char *card, const char *keyword)
{
    char field[9] = "        ";
    std::memcpy(field, keyword, std::strlen(keyword));
    return std::memcmp(card, field, 8) == 0;
}

// What one header says about the layout of its unit.
struct Header {
    int cards = 0;  // read so far
    bool extension = false;
    bool table = false;  // an extension CFITSIO reads as a table
    double bitpix = 0;
    double naxis = -1;
    double axes[kMaxFitsAxes] = {};
    double pcount = 0;
    double gcount = 1;
    // The first table parameter that CFITSIO would mishandle.
    QString violation;
    bool groups = false;
    bool compressedImage = false;  // ZIMAGE = T
    // ZNAXIS, ZNAXISn, ZTILEn, ZNAMEn and ZVALn cards, checked once the
    // header is complete, since ZIMAGE may come after them.
    std::vector<QByteArray> compressionCards;
    // The first card whose keyword has a character FITS does not allow, or 0.
    int badKeywordCard = 0;
};

// The text of a string value without its quotes and outer blanks, or a
// logical or other bare value without its comment.
QByteArray stringOrLogical(const char *card)
{
    QByteArray value = QByteArray(card + 9, kCard - 9).trimmed();
    if (value.startsWith('\'')) {
        const int close = value.indexOf('\'', 1);
        return value.mid(1, close < 0 ? -1 : close - 1).trimmed();
    }
    const int slash = value.indexOf('/');
    return (slash < 0 ? value : value.left(slash)).trimmed();
}

// The value of a card as a plain non-negative integer (digits, an optional
// plus sign, blanks around them), or -1.
double plainCount(const char *card)
{
    if (card[8] != '=')
        return -1;
    int at = 9;
    while (at < kCard && card[at] == ' ')
        ++at;
    if (at < kCard && card[at] == '+')
        ++at;
    double value = 0;
    int digits = 0;
    for (; at < kCard && card[at] >= '0' && card[at] <= '9'; ++at, ++digits)
        value = value * 10 + (card[at] - '0');
    while (at < kCard && card[at] == ' ')
        ++at;
    return digits > 0 && (at == kCard || card[at] == '/') ? value : -1;
}

// CFITSIO 4.2 reads the table parameters NAXIS1, NAXIS2 and TFIELDS with
// checks that compare instead of assign: a negative NAXIS1 or NAXIS2 leaves
// the field count uninitialised, and a TFIELDS above 999 is accepted. Either
// way it then sets up one column record per field, which can take
// gigabytes. Every such card of an extension, wherever it stands, must be a
// plain count in range.
void checkTableParameter(const char *card, Header &header)
{
    if (!header.extension || !header.violation.isEmpty())
        return;
    const bool fields = keywordIs(card, "TFIELDS");
    if (!fields && !keywordIs(card, "NAXIS1") && !keywordIs(card, "NAXIS2"))
        return;
    const double count = plainCount(card);
    if (count < 0)
        header.violation = QStringLiteral("%1 is not a count").arg(QString::fromLatin1(card, 8).trimmed());
    else if (fields && count > kMaxTableFields)
        header.violation = QStringLiteral("TFIELDS %1 is above %2").arg(count, 0, 'f', 0).arg(kMaxTableFields);
}

// CFITSIO 4.2 reads cards 2 to 8 of a table header by position, and when
// one of them cannot be read at all (a character no header may hold, a
// value it cannot parse) it goes on to a field count it never read and sets
// up that many columns. A table header must therefore begin as the standard
// says, with every one of these cards readable.
void checkTableStart(const char *card, Header &header)
{
    static const char *const mandatory[] = {"BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "PCOUNT", "GCOUNT", "TFIELDS"};
    const int position = header.cards;  // 1-based, this card included
    if (!header.table || position < 2 || position > 8 || !header.violation.isEmpty())
        return;
    const char *keyword = mandatory[position - 2];
    const bool printable = std::all_of(card, card + kCard, [](char c) { return c >= 0x20 && c <= 0x7e; });
    if (!printable || !keywordIs(card, keyword) || plainCount(card) < 0)
        header.violation = QStringLiteral("card %1 of a table header is not %2 = count").arg(position).arg(QLatin1String(keyword));
}

// Length of the value CFITSIO parses from a card: a quoted string with its
// quotes, a complex pair with its parentheses, or a bare token; 0 for none.
int valueLength(const char *card)
{
    const void *indicator = std::memcmp(card + 8, "= ", 2) == 0 ? card + 8 : std::memchr(card, '=', kCard);
    if (!indicator)
        return 0;
    int at = int(static_cast<const char *>(indicator) - card) + 1;
    while (at < kCard && card[at] == ' ')
        ++at;
    const int start = at;
    if (at < kCard && card[at] == '\'') {
        for (++at; at < kCard; ++at) {
            if (card[at] != '\'')
                continue;
            if (at + 1 < kCard && card[at + 1] == '\'') {
                ++at;
                continue;
            }
            return at - start + 1;
        }
        return kCard - start + 1;  // CFITSIO closes it
    }
    if (at < kCard && card[at] == '(') {
        const void *close = std::memchr(card + at, ')', size_t(kCard - at));
        return close ? int(static_cast<const char *>(close) - card) - start + 1 : 0;
    }
    while (at < kCard && card[at] != ' ' && card[at] != '/')
        ++at;
    return at - start;
}

// Keywords that CFITSIO reads as integers wherever they stand.
bool readAsInteger(const char *card)
{
    static const char *const names[] = {"BITPIX",   "NAXIS",    "PCOUNT",  "GCOUNT",  "TFIELDS", "EXTVER",
                                        "THEAP",    "BLANK",    "ZBITPIX", "ZNAXIS",  "ZDITHER0", "ZBLANK",
                                        "ZTILELEN", "FZTILELN", "ZPCOUNT", "ZGCOUNT", "ZHEAPPTR", "ZTHEAP",
                                        "ZVAL1",    "ZVAL2"};
    if (std::any_of(std::begin(names), std::end(names), [card](const char *name) { return keywordIs(card, name); }))
        return true;
    for (const char *prefix : {"NAXIS", "ZNAXIS", "ZTILE", "TBCOL"}) {
        const int length = int(std::strlen(prefix));
        if (std::memcmp(card, prefix, size_t(length)) != 0)
            continue;
        int at = length;
        while (at < 8 && card[at] >= '0' && card[at] <= '9')
            ++at;
        const int digits = at - length;
        while (at < 8 && card[at] == ' ')
            ++at;
        if (digits > 0 && at == 8)
            return true;
    }
    return false;
}

// CFITSIO 4.2's integer conversion copies up to 30 characters of a value it
// cannot convert into a message buffer two bytes too small for them (the
// release build aborts, "buffer overflow detected"). No integer needs 29
// characters, so such a value of a keyword that CFITSIO reads as an integer
// is refused. The loader reads its own integer keywords the same way.
void checkIntegerValue(const char *card, Header &header)
{
    if (!header.violation.isEmpty() || !readAsInteger(card))
        return;
    const int length = valueLength(card);
    if (length >= 29)
        header.violation = QStringLiteral("%1 has a value of %2 characters, too long for an integer")
                               .arg(QString::fromLatin1(card, 8).trimmed())
                               .arg(length);
}

void readCard(const char *card, Header &header)
{
    ++header.cards;
    for (int i = 0; i < 8 && header.badKeywordCard == 0; ++i) {
        const char c = card[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == ' '))
            header.badKeywordCard = header.cards;
    }
    if (header.cards == 1 && keywordIs(card, "XTENSION")) {
        const QByteArray type = stringOrLogical(card);
        header.table = type == "TABLE" || type == "BINTABLE" || type == "A3DTABLE" || type == "3DTABLE";
    }
    checkTableStart(card, header);
    checkTableParameter(card, header);
    checkIntegerValue(card, header);
    for (const char *prefix : {"ZNAXIS", "ZTILE", "ZNAME", "ZVAL"}) {
        if (std::memcmp(card, prefix, std::strlen(prefix)) == 0)
            header.compressionCards.emplace_back(card, kCard);
    }
    double value = 0;
    if (keywordIs(card, "ZIMAGE")) {
        // CFITSIO takes the logical from its first character, whatever follows.
        header.compressedImage = card[8] == '=' && QByteArray(card + 10, kCard - 10).trimmed().startsWith('T');
    } else if (keywordIs(card, "XTENSION")) {
        header.extension = true;
    } else if (keywordIs(card, "GROUPS")) {
        header.groups = card[8] == '=' && std::memchr(card + 10, 'T', kCard - 10) != nullptr;
    } else if ((keywordIs(card, "BITPIX") || keywordIs(card, "NAXIS")) && !cardNumber(card, value)) {
        // CFITSIO reads some such headers as if the value were there, and
        // then finds the next unit where this walk cannot follow it.
        header.violation = QStringLiteral("%1 has no number for its value").arg(QString::fromLatin1(card, 8).trimmed());
    } else if (!cardNumber(card, value)) {
        return;
    } else if (keywordIs(card, "BITPIX")) {
        header.bitpix = value;
    } else if (keywordIs(card, "NAXIS")) {
        header.naxis = value;
    } else if (keywordIs(card, "PCOUNT")) {
        header.pcount = value;
    } else if (keywordIs(card, "GCOUNT")) {
        header.gcount = value;
    } else if (std::memcmp(card, "NAXIS", 5) == 0) {
        char digits[4] = {};
        std::memcpy(digits, card + 5, 3);
        char *end = nullptr;
        const long axis = std::strtol(digits, &end, 10);
        if (end != digits && (*end == ' ' || *end == '\0') && axis >= 1 && axis <= kMaxFitsAxes)
            header.axes[axis - 1] = value;
    }
}

// CFITSIO 4.2 divides by every tile size and by the Rice block size without
// checking them, and an image of no axes (a ZNAXIS it reads as 0) makes its
// decompression write through a null column table. Each such card of a
// compressed image must be a plain count in range.
QString compressionViolation(const Header &header)
{
    if (!header.compressedImage)
        return QString();
    std::map<QByteArray, QByteArray> parameterNames;  // index -> ZNAMEn
    std::map<QByteArray, const QByteArray *> parameterValues;  // index -> ZVALn card
    std::map<QByteArray, double> axes, tiles;  // index -> ZNAXISn, ZTILEn
    double axisCount = 0;
    for (const QByteArray &card : header.compressionCards) {
        const QByteArray key = card.left(8).trimmed();
        const double count = plainCount(card.constData());
        if (key.startsWith("ZNAME")) {
            parameterNames[key.mid(5)] = stringOrLogical(card.constData());
        } else if (key.startsWith("ZVAL")) {
            parameterValues[key.mid(4)] = &card;
        } else if (key == "ZNAXIS") {
            if (count < 1 || count > kMaxFitsAxes)
                return QStringLiteral("ZNAXIS is not a count of 1 to %1").arg(kMaxFitsAxes);
            axisCount = count;
        } else if (key.startsWith("ZTILE")) {
            if (count < 1)
                return QStringLiteral("%1 is not a count of 1 or more").arg(QString::fromLatin1(key));
            tiles[key.mid(5)] = count;
        } else if (count < 0) {
            return QStringLiteral("%1 is not a count").arg(QString::fromLatin1(key));
        } else {
            axes[key.mid(6)] = count;
        }
    }
    // CFITSIO copies the header of a compressed image card by card and
    // fails on a keyword it may not write, part of the way through; and so
    // without ZNAXIS, or one of its axes. It then works on with what it
    // never read: a loop count, the output's column table.
    if (header.badKeywordCard > 0)
        return QStringLiteral("card %1 has a keyword with a character FITS does not allow").arg(header.badKeywordCard);
    if (axisCount == 0)
        return QStringLiteral("ZNAXIS is missing");
    for (int n = 1; n <= int(axisCount); ++n) {
        if (axes.find(QByteArray::number(n)) == axes.end())
            return QStringLiteral("ZNAXIS%1 is missing").arg(n);
    }
    // CFITSIO sizes its tile buffers by ZTILEn: a tile larger than the image
    // would ask for memory that no pixel of the file justifies.
    for (const auto &tile : tiles) {
        const auto axis = axes.find(tile.first);
        if (axis != axes.end() && tile.second > std::max(axis->second, 1.0))
            return QStringLiteral("ZTILE%1 %2 exceeds ZNAXIS%1 %3")
                .arg(QString::fromLatin1(tile.first))
                .arg(tile.second, 0, 'f', 0)
                .arg(axis->second, 0, 'f', 0);
    }
    for (const auto &name : parameterNames) {
        // A parameter name without its value sends CFITSIO 4.2 through a
        // column table it has freed once it decompresses the tiles.
        const auto value = parameterValues.find(name.first);
        if (value == parameterValues.end())
            return QStringLiteral("ZNAME%1 has no ZVAL%1").arg(QString::fromLatin1(name.first));
        if (name.second == "BLOCKSIZE" && plainCount(value->second->constData()) < 1)
            return QStringLiteral("ZVAL%1 (BLOCKSIZE) is not a count of 1 or more").arg(QString::fromLatin1(name.first));
    }
    return QString();
}

// Bytes of data behind the header, as FITS defines them; negative when the
// header does not say.
double dataBytes(const Header &header)
{
    if (header.bitpix == 0 || header.naxis < 0 || header.naxis > kMaxFitsAxes)
        return -1;
    const int naxis = int(header.naxis);
    if (naxis == 0)
        return 0;
    double product = 1;
    // Random groups leave NAXIS1 at 0 and count the groups instead.
    const int first = header.groups && header.axes[0] == 0 ? 1 : 0;
    for (int i = first; i < naxis; ++i)
        product *= header.axes[i];
    return std::fabs(header.bitpix) / 8 * header.gcount * (header.pcount + product);
}

} // namespace

QString fitsStructureViolation(const QByteArray &bytes, const QString &path)
{
    BlockSource source(bytes, path);
    char block[kBlock];
    qint64 offset = 0;
    for (int unit = 1; offset < source.size(); ++unit) {
        Header header;
        bool ended = false;
        while (!ended) {
            // A header without its END, or cut short, is CFITSIO's to reject;
            // but CFITSIO reads the table parameters by position before it
            // looks for the END, so they are checked in any case.
            if (!source.block(offset, block)) {
                const QString compression = compressionViolation(header);
                return compression.isEmpty() ? QString() : QStringLiteral("HDU %1: %2").arg(unit).arg(compression);
            }
            offset += kBlock;
            for (int at = 0; at < kBlock && !ended; at += kCard) {
                const char *card = block + at;
                ended = keywordIs(card, "END");
                if (!ended)
                    readCard(card, header);
            }
            if (!header.violation.isEmpty())
                return QStringLiteral("HDU %1: %2").arg(unit).arg(header.violation);
        }
        const QString compression = compressionViolation(header);
        if (!compression.isEmpty())
            return QStringLiteral("HDU %1: %2").arg(unit).arg(compression);
        // Where the next unit starts is CFITSIO's question too: a layout
        // that cannot be read ends the walk, and CFITSIO stops there as well.
        const double data = dataBytes(header);
        if (!(data >= 0) || data > double(source.size()))
            return QString();
        offset += (qint64(data) + kBlock - 1) / kBlock * kBlock;
    }
    return QString();
}
