#include "image/fits_data.h"
#include "image/world_coords.h"
#include "tests/fixtures.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

namespace {

// One header keyword: `value` is written as FITS value text (strings in
// quotes); the record route receives it as a number where it is one.
struct Keyword {
    const char *key;
    const char *value;
};

const std::vector<Keyword> kTan = {
    {"CTYPE1", "'RA---TAN'"}, {"CTYPE2", "'DEC--TAN'"}, {"CRVAL1", "10.68"},   {"CRVAL2", "41.27"},
    {"CRPIX1", "150.5"},      {"CRPIX2", "100.5"},      {"CDELT1", "-0.0002"}, {"CDELT2", "0.0002"},
};

// kTan with some keywords replaced or added.
std::vector<Keyword> tanWith(std::initializer_list<Keyword> changes)
{
    std::vector<Keyword> keywords = kTan;
    for (const Keyword &change : changes) {
        auto same = std::find_if(keywords.begin(), keywords.end(),
                                 [&](const Keyword &k) { return qstrcmp(k.key, change.key) == 0; });
        if (same != keywords.end())
            same->value = change.value;
        else
            keywords.push_back(change);
    }
    return keywords;
}

QList<HeaderRecord> recordsOf(const std::vector<Keyword> &keywords)
{
    QList<HeaderRecord> records = {{"SIMPLE", QString("T"), ""}, {"BITPIX", 16, ""}, {"NAXIS", 2, ""},
                                   {"NAXIS1", 300, ""},          {"NAXIS2", 200, ""}};
    for (const Keyword &k : keywords) {
        // Loaders hand text values over without their FITS quotes.
        bool isNumber = false;
        const double number = QByteArray(k.value).toDouble(&isNumber);
        QString text = QString(k.value);
        if (text.startsWith('\'') && text.endsWith('\''))
            text = text.mid(1, text.size() - 2);
        records.append({k.key, isNumber ? QVariant(number) : QVariant(text), "test"});
    }
    return records;
}

struct Outcome {
    int state;
    bool hasWcs;
    const char *error;  // expected lastErrorText
};

struct WcsCase {
    const char *name;
    std::vector<Keyword> keywords;
    Outcome outcome;
};

std::vector<WcsCase> wcsCases()
{
    return {
        {"no coordinates", {{"OBJECT", "'M31'"}, {"EXPTIME", "30"}}, {3, false, ""}},
        {"celestial TAN", kTan, {2, true, ""}},
        {"reference pixel 0", tanWith({{"CRPIX1", "0.0"}}), {3, false, ""}},
        {"reference pixel 0.5", tanWith({{"CRPIX1", "0.5"}}), {2, true, ""}},
        {"tabular without table",
         tanWith({{"CTYPE1", "'RA---TAB'"}, {"PS1_0", "'WCS-TAB'"}}),
         {3, false, "wcspih ERROR 5: Invalid tabular parameters."}},
        {"two right ascensions",
         tanWith({{"CTYPE2", "'RA---TAN'"}}),
         {3, false, "wcsset error 4: Inconsistent or unrecognized coordinate axis type."}},
        // Would take WCSLIB to gigabytes and a crash.
        {"absurd axis count", tanWith({{"WCSAXES", "99999"}}), {3, false, "world coordinates skipped: 99999 axes declared"}},
    };
}

std::pair<double, double> worldAt(wcsprm *wcs, double x, double y)
{
    double pixel[2] = {x, y}, image[2], phi, theta, world[2] = {0, 0};
    int stat = 0;
    wcsp2s(wcs, 1, 2, pixel, image, &phi, &theta, world, &stat);
    return {world[0], world[1]};
}

void expectOutcome(const FITSData &data, const Outcome &o)
{
    EXPECT_EQ(data.worldCoordState, o.state);
    EXPECT_EQ(data.hasWCS, o.hasWcs);
    EXPECT_EQ(data.lastErrorText.toStdString(), o.error);
    EXPECT_EQ(data.worldCoords.wcs == nullptr, data.worldCoords.count == 0);
    EXPECT_EQ(data.worldCoords.wcs != nullptr, o.state == 2);
}

class WorldCoords : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    // Opens a 300 x 200 image whose header holds `keywords` as the object's
    // open FITS file.
    void openFits(FITSData &data, const std::vector<Keyword> &keywords)
    {
        FitsFixture image;
        image.axes = {300, 200};
        image.cards << "COMMENT   written for the world coordinate tests";
        for (const Keyword &k : keywords)
            image.cards << QString("%1= %2").arg(QString(k.key).leftJustified(8), QString(k.value));
        const QString path = dir.filePath("wcs.fits");
        ASSERT_TRUE(writeFits(path, image));
        fitsfile *f = nullptr;
        int status = 0;
        fits_open_diskfile(&f, QFile::encodeName(path).constData(), READONLY, &status);
        ASSERT_EQ(status, 0);
        data.fitsHandle.reset(f);
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(WorldCoords, OutcomesFromTheOpenFileAndFromHeaderRecords)
{
    for (const WcsCase &c : wcsCases()) {
        SCOPED_TRACE(c.name);
        FITSData fromFile;
        openFits(fromFile, c.keywords);
        // Header records are ignored while a file is open.
        fromFile.headerRecords = recordsOf(kTan);
        fromFile.loadWorldCoordinates();
        expectOutcome(fromFile, c.outcome);

        FITSData fromRecords;
        fromRecords.headerRecords = recordsOf(c.keywords);
        fromRecords.loadWorldCoordinates();
        expectOutcome(fromRecords, c.outcome);

        if (c.outcome.state == 2) {
            for (FITSData *data : {&fromFile, &fromRecords}) {
                // Prepared: the reference pixel maps to the reference value.
                const double x = data->worldCoords.wcs[0].crpix[0];
                const auto [ra, dec] = worldAt(&data->worldCoords.wcs[0], x, 100.5);
                EXPECT_NEAR(ra, 10.68, 1e-9);
                EXPECT_NEAR(dec, 41.27, 1e-9);
            }
        }
    }
}

TEST_F(WorldCoords, ParsedOnlyOncePerObjectButRetriedAfterFailure)
{
    FITSData data;
    data.headerRecords = recordsOf({{"OBJECT", "'M31'"}});
    data.loadWorldCoordinates();
    EXPECT_EQ(data.worldCoordState, 3);

    data.headerRecords = recordsOf(kTan);
    data.loadWorldCoordinates();
    ASSERT_EQ(data.worldCoordState, 2);
    wcsprm *first = data.worldCoords.wcs;

    data.headerRecords = recordsOf(tanWith({{"CTYPE2", "'RA---TAN'"}}));
    data.loadWorldCoordinates();
    EXPECT_EQ(data.worldCoords.wcs, first);
    EXPECT_EQ(data.worldCoordState, 2);
    EXPECT_TRUE(data.lastErrorText.isEmpty());

    // A failure after a success keeps hasWCS: only a new object clears it.
    data.worldCoordState = 3;
    data.loadWorldCoordinates();
    EXPECT_EQ(data.worldCoordState, 3);
    EXPECT_EQ(data.worldCoords.wcs, nullptr);
    EXPECT_TRUE(data.hasWCS);
}

TEST_F(WorldCoords, EmptyAndOddRecordsDoNotParse)
{
    const QList<QList<HeaderRecord>> lists = {
        {},
        {{"COMMENT", QVariant(), "no value"}},
        {{"NAXIS", QString("2 junk"), ""}, {"CRPIX1", QString("x"), ""}},
        {{"CTYPE1", QString("'RA---TAN'"), QString(QChar(0)) + "hidden"}, {"NAXIS", QString("1e300"), ""}},
        // An axis type WCSLIB rejects shows no second axis for the distortion.
        {{"CTYPE1", QString("RA---TAN"), ""}, {"CTYPE2", 3, ""}, {"A_1_1", 150.5, ""}},
    };
    for (const QList<HeaderRecord> &records : lists) {
        FITSData data;
        data.headerRecords = records;
        data.loadWorldCoordinates();
        EXPECT_EQ(data.worldCoordState, 3);
        EXPECT_FALSE(data.hasWCS);
    }
}

TEST(HeaderCardText, EightyByteCardsEndingWithEnd)
{
    const QString longComment = QString(100, QLatin1Char('c'));
    const QList<HeaderRecord> records = {
        {"CTYPE1", QString("RA---TAN"), "axis type"},
        {"EXPTIME", 30, "s"},
        {"CRPIX1", 150.5, QString::fromUtf8("\xc3\xa9t\xc3\xa9")},  // Latin-1: one byte each
        {"HIERARCHKEY", QString("v"), longComment},
        {"COMMENT", QVariant(), "plain text"},
        {"CRVAL1", QString("10.5"), ""},  // XISF numbers are text
        {"OBJECT", QString("Barnard's"), ""},
    };
    const QByteArray text = headerCardText(records);
    ASSERT_EQ(text.size(), 8 * 80);
    const QByteArray cards[] = {
        "CTYPE1  = 'RA---TAN' / axis type",
        "EXPTIME = 30 / s",
        "CRPIX1  = 150.5 / \xe9t\xe9",
        ("HIERARCHKEY= 'v' / " + longComment.toLatin1()).left(80),
        "COMMENT = " " / plain text",
        "CRVAL1  = 10.5 / ",
        "OBJECT  = 'Barnard''s' / ",
        "END",
    };
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(text.mid(i * 80, 80), cards[i].leftJustified(80, ' ')) << "card " << i;
}
