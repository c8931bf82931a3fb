#include "image/fits_structure.h"

#include "image/c_locale.h"
#include "image/limits.h"

#include <QFile>

#include "image/fits_card.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <vector>

namespace {

constexpr qint64 kBlock = kFitsBlock;
constexpr int kCard = kFitsCardBytes;

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

// The value as a number, when all of it is one.
bool valueNumber(const QByteArray &value, double &number)
{
    if (value.isEmpty())
        return false;
    char *end = nullptr;
    number = strtodC(value.constData(), &end);
    return end == value.constData() + value.size() && std::isfinite(number);
}

// The value as a plain non-negative integer (digits after an optional plus
// sign), or -1.
double plainCount(const QByteArray &value)
{
    const int first = value.startsWith('+') ? 1 : 0;
    if (value.size() <= first)
        return -1;
    double count = 0;
    for (int at = first; at < value.size(); ++at) {
        if (value[at] < '0' || value[at] > '9')
            return -1;
        count = count * 10 + (value[at] - '0');
    }
    return count;
}

// A string value without its quotes ('' read as one) and outer blanks, or a
// bare value as it stands.
QByteArray unquoted(const QByteArray &value)
{
    return value.startsWith('\'') ? fitsStringText(value).trimmed() : value;
}

// `prefix` followed by digits only; `index` gets the digits.
bool indexedName(const QByteArray &name, const char *prefix, QByteArray *index = nullptr)
{
    const int length = int(std::strlen(prefix));
    if (!name.startsWith(prefix) || name.size() == length)
        return false;
    const QByteArray digits = name.mid(length);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    if (index)
        *index = digits;
    return true;
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
    // Names and values of the ZNAXIS, ZNAXISn, ZTILEn, ZNAMEn and ZVALn
    // cards, checked once the header is complete, since ZIMAGE may come
    // after them.
    std::vector<std::pair<QByteArray, QByteArray>> compressionCards;
    // The first card whose keyword FITS does not allow (a character, or a
    // blank before its end), or 0.
    int badKeywordCard = 0;
    // The layout keywords seen so far.
    std::set<QByteArray> layoutNames;
};

// CFITSIO 4.2 reads the table parameters NAXIS1, NAXIS2 and TFIELDS with
// checks that compare instead of assign: a negative NAXIS1 or NAXIS2 leaves
// the field count uninitialised, and a TFIELDS above 999 is accepted. Either
// way it then sets up one column record per field, which can take
// gigabytes. Every such card of an extension, wherever it stands, must be a
// plain count in range.
void checkTableParameter(const FitsCard &card, Header &header)
{
    if (!header.extension || !header.violation.isEmpty())
        return;
    const bool fields = card.name == "TFIELDS";
    if (!fields && card.name != "NAXIS1" && card.name != "NAXIS2")
        return;
    const double count = plainCount(card.value);
    if (count < 0)
        header.violation = QStringLiteral("%1 is not a count").arg(QString::fromLatin1(card.name));
    else if (fields && count > kMaxTableFields)
        header.violation = QStringLiteral("TFIELDS %1 is above %2").arg(count, 0, 'f', 0).arg(kMaxTableFields);
}

// CFITSIO 4.2 reads cards 2 to 8 of a table header by position, and when
// one of them cannot be read at all (a character no header may hold, a
// value it cannot parse) it goes on to a field count it never read and sets
// up that many columns. A table header must therefore begin as the standard
// says, with every one of these cards readable.
void checkTableStart(const FitsCard &card, Header &header)
{
    static const char *const mandatory[] = {"BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "PCOUNT", "GCOUNT", "TFIELDS"};
    const int position = header.cards;  // 1-based, this card included
    if (!header.table || position < 2 || position > 8 || !header.violation.isEmpty())
        return;
    const char *keyword = mandatory[position - 2];
    const bool printable = std::all_of(card.text, card.text + kCard, [](char c) { return c >= 0x20 && c <= 0x7e; });
    if (!printable || card.name != keyword || plainCount(card.value) < 0)
        header.violation = QStringLiteral("card %1 of a table header is not %2 = count").arg(position).arg(QLatin1String(keyword));
}

// Keywords that CFITSIO reads as integers wherever they stand.
bool readAsInteger(const QByteArray &name)
{
    static const char *const names[] = {"BITPIX",   "NAXIS",    "PCOUNT",  "GCOUNT",  "TFIELDS", "EXTVER",
                                        "THEAP",    "BLANK",    "ZBITPIX", "ZNAXIS",  "ZDITHER0", "ZBLANK",
                                        "ZTILELEN", "FZTILELN", "ZPCOUNT", "ZGCOUNT", "ZHEAPPTR", "ZTHEAP",
                                        "ZVAL1",    "ZVAL2"};
    if (std::any_of(std::begin(names), std::end(names), [&name](const char *integer) { return name == integer; }))
        return true;
    static const char *const indexed[] = {"NAXIS", "ZNAXIS", "ZTILE", "TBCOL"};
    return std::any_of(std::begin(indexed), std::end(indexed),
                       [&name](const char *prefix) { return indexedName(name, prefix); });
}

// CFITSIO 4.2's integer conversion copies up to 30 characters of a value it
// cannot convert into a message buffer two bytes too small for them (the
// release build aborts, "buffer overflow detected"). No integer needs 29
// characters, so such a value of a keyword that CFITSIO reads as an integer
// is refused. The loader reads its own integer keywords the same way.
void checkIntegerValue(const FitsCard &card, Header &header)
{
    if (header.violation.isEmpty() && card.value.size() >= 29 && readAsInteger(card.name))
        header.violation = QStringLiteral("%1 has a value of %2 characters, too long for an integer")
                               .arg(QString::fromLatin1(card.name))
                               .arg(card.value.size());
}

// CFITSIO reads the layout of a unit from the first of two cards of a name
// in some places, from the last in others: this walk could then look for
// the next unit elsewhere than CFITSIO does, and check the wrong bytes.
// The standard allows each of them once.
void checkLayoutOnce(const FitsCard &card, Header &header)
{
    const bool layout = card.name == "BITPIX" || card.name == "NAXIS" || indexedName(card.name, "NAXIS") ||
                        card.name == "PCOUNT" || card.name == "GCOUNT" || card.name == "GROUPS" ||
                        card.name == "TFIELDS";
    if (!layout || !header.violation.isEmpty())
        return;
    if (!header.layoutNames.insert(card.name).second)
        header.violation = QStringLiteral("%1 appears twice").arg(QString::fromLatin1(card.name));
}

void readCard(const FitsCard &card, Header &header)
{
    ++header.cards;
    // Every keyword read of such a card would overflow the caller's buffer.
    if (header.violation.isEmpty() && card.value.size() >= FLEN_VALUE)
        header.violation = QStringLiteral("card %1 has a value longer than CFITSIO reads safely").arg(header.cards);
    // Blanks may only end a keyword.
    bool blank = false;
    for (int i = 0; i < kFitsKeywordBytes && header.badKeywordCard == 0; ++i) {
        const char c = card.text[i];
        const bool legal = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if ((!legal && c != ' ') || (legal && blank))
            header.badKeywordCard = header.cards;
        blank = blank || c == ' ';
    }
    // CFITSIO tells the kind of unit by the first eight columns of its
    // first card, and the value as it reads any other.
    if (header.cards == 1 && card.keywordIs("XTENSION")) {
        const QByteArray type = unquoted(card.value);
        header.extension = true;
        header.table = type == "TABLE" || type == "BINTABLE" || type == "A3DTABLE" || type == "3DTABLE";
    }
    checkTableStart(card, header);
    checkTableParameter(card, header);
    checkIntegerValue(card, header);
    checkLayoutOnce(card, header);
    for (const char *prefix : {"ZNAXIS", "ZTILE", "ZNAME", "ZVAL", "ZCMPTYPE"}) {
        if (card.name.startsWith(prefix))
            header.compressionCards.emplace_back(card.name, card.value);
    }
    double value = 0;
    QByteArray axis;
    if (card.name == "ZIMAGE") {
        // CFITSIO takes the logical from its first character, whatever
        // follows, and any such card of the header makes it a compressed
        // image.
        header.compressedImage = header.compressedImage || card.value.startsWith('T');
    } else if (card.name == "XTENSION") {
        header.extension = true;
    } else if (card.name == "GROUPS") {
        header.groups = card.value.startsWith('T');
    } else if ((card.name == "BITPIX" || card.name == "NAXIS") && !valueNumber(card.value, value)) {
        // CFITSIO reads some such headers as if the value were there, and
        // then finds the next unit where this walk cannot follow it.
        header.violation = QStringLiteral("%1 has no number for its value").arg(QString::fromLatin1(card.name));
    } else if (!valueNumber(card.value, value)) {
        return;
    } else if (card.name == "BITPIX") {
        header.bitpix = value;
    } else if (card.name == "NAXIS") {
        header.naxis = value;
    } else if (card.name == "PCOUNT") {
        header.pcount = value;
    } else if (card.name == "GCOUNT") {
        header.gcount = value;
    } else if (indexedName(card.name, "NAXIS", &axis)) {
        const int index = axis.size() <= 3 ? axis.toInt() : 0;
        if (index >= 1 && index <= kMaxFitsAxes)
            header.axes[index - 1] = value;
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
    QByteArray compression;
    for (const auto &card : header.compressionCards) {
        const QByteArray &key = card.first;
        const double count = plainCount(card.second);
        if (key == "ZCMPTYPE") {
            compression = unquoted(card.second);
        } else if (key.startsWith("ZNAME")) {
            parameterNames[key.mid(5)] = unquoted(card.second);
        } else if (key.startsWith("ZVAL")) {
            parameterValues[key.mid(4)] = &card.second;
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
        return QStringLiteral("card %1 has a keyword FITS does not allow").arg(header.badKeywordCard);
    if (axisCount == 0)
        return QStringLiteral("ZNAXIS is missing");
    for (int n = 1; n <= int(axisCount); ++n) {
        if (axes.find(QByteArray::number(n)) == axes.end())
            return QStringLiteral("ZNAXIS%1 is missing").arg(n);
    }
    // Without ZTILE1 CFITSIO tiles the first axis whole, and divides by
    // that axis's length: a length of 0 stops the process.
    if (tiles.find("1") == tiles.end() && axes["1"] < 1)
        return QStringLiteral("ZNAXIS1 is 0 and ZTILE1 is missing");
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
        if (name.second == "BLOCKSIZE" && plainCount(*value->second) < 1)
            return QStringLiteral("ZVAL%1 (BLOCKSIZE) is not a count of 1 or more").arg(QString::fromLatin1(name.first));
    }
    // For Rice tiles CFITSIO takes ZVAL1 as the block size whatever ZNAME1
    // says, and ZVAL2 instead when ZVAL1 is below 16 and ZVAL2 above 8 (the
    // two swapped by old writers; not when ZNAME2 is NOISEBIT, older still).
    if (compression == "RICE_1" || compression == "RICE_ONE") {
        const auto first = parameterValues.find("1"), second = parameterValues.find("2");
        const double blockSize = first == parameterValues.end() ? 32 : plainCount(*first->second);
        const double bytesPerPixel = second == parameterValues.end() ? -1 : plainCount(*second->second);
        const auto secondName = parameterNames.find("2");
        const bool oldFormat = secondName != parameterNames.end() && secondName->second == "NOISEBIT";
        const bool swapped = !oldFormat && blockSize < 16 && bytesPerPixel > 8;
        if (!swapped && blockSize < 1)
            return QStringLiteral("ZVAL1 (the Rice block size) is not a count of 1 or more");
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
                // Every card is read as CFITSIO will read it, value
                // indicator and all, to see what CFITSIO is going to trust.
                const FitsCard card = tokenizeCard(block + at);
                ended = card.name == "END";
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
