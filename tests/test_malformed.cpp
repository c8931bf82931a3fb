// The tool as a process against damaged, crafted and awkward inputs: every
// run ends with status 0 or 255, never by a signal, and every failure says
// why on the last line of standard error. The inputs are committed under
// tests/data/malformed (written by make_malformed.cpp there); the few that
// must be large are made here.

#include "tests/fixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const QString kDataDir = QStringLiteral(SKYIMG_SOURCE_DIR "/tests/data/malformed");

std::string text(const QByteArray &bytes)
{
    return bytes.toStdString();
}

QByteArray lastLine(const QByteArray &err)
{
    const QList<QByteArray> lines = err.trimmed().split('\n');
    return lines.isEmpty() ? QByteArray() : lines.last();
}

enum class Action { Meta, Preview, Thumb };

QStringList argumentsFor(Action action, const QString &source, const QString &output)
{
    switch (action) {
    case Action::Meta:
        return {QStringLiteral("--meta"), source};
    case Action::Preview:
        return {QStringLiteral("--save-preview"), output, source};
    case Action::Thumb:
        return {QStringLiteral("--save-thumb"), output, source};
    }
    return {};
}

class Malformed : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

    // Runs one action and checks what holds for every run: no signal, a
    // status of 0 or 255, a one-line reason for each failure, and an output
    // picture exactly when a picture action succeeds.
    ProcessResult run(Action action, const QString &source)
    {
        const QString output = path(QStringLiteral("out.png"));
        QFile::remove(output);
        const ProcessResult result = runSkyimg(argumentsFor(action, source, output) << QStringLiteral("-f")
                                                                                     << QStringLiteral("png"));
        const std::string what = QFileInfo(source).fileName().toStdString();
        EXPECT_FALSE(result.crashed) << what << "\n" << text(result.err);
        EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 255) << what << " exit " << result.exitCode;
        if (result.exitCode != 0) {
            EXPECT_TRUE(lastLine(result.err).startsWith("skyimg: cannot ")) << what << "\n" << text(result.err);
        }
        if (action != Action::Meta) {
            EXPECT_EQ(QFile::exists(output), result.exitCode == 0) << what;
            if (result.exitCode == 0) {
                EXPECT_FALSE(QImage(output).isNull()) << what;
            }
        }
        return result;
    }
};

// Every committed input, under every action.
TEST_F(Malformed, EachInputFailsOrLoadsAsExpected)
{
    struct Case {
        const char *file;
        int previewExit;      // status of --save-preview
        const char *message;  // in the last line of standard error; "" for none
        // The metadata record reads only headers, so damage in the data (a
        // compressed tile's stream too) goes unnoticed there (""), and a RAW
        // record gives no reason; null: as for the preview.
        const char *metaMessage = nullptr;
    };
    const Case cases[] = {
        {"fits_naxis_negative.fits", 255, "illegal NAXIS keyword value"},
        {"fits_naxis_zero.fits", 255, "no image HDU with two or more axes"},
        {"fits_naxis_1000.fits", 255, "illegal NAXIS keyword value"},
        {"fits_axis_zero.fits", 255, "axis 1 has length 0"},
        {"fits_axis_2_31.fits", 255, "axis 1 longer than 65535"},
        {"fits_huge_declared_size.fits", 255, "header declares 3200000000 data bytes, the file holds 0"},
        {"fits_bitpix_24.fits", 255, "illegal BITPIX keyword value"},
        {"fits_missing_end.fits", 255, "CFITSIO status"},
        {"fits_truncated_data.fits", 255, "header declares 20000 data bytes, the file holds 2880"},
        {"fits_truncated_last_block.fits", 255, "header declares 384 data bytes, the file holds 0"},
        {"fits_continue_chain_unclosed.fits", 0, ""},
        {"fits_bzero_bscale_overflow.fits", 0, ""},
        {"fits_bscale_zero.fits", 0, ""},
        {"fits_nan_inf_samples.fits", 0, ""},
        {"fits_all_nan.fits", 0, ""},
        {"fits_blank_value_too_long.fits", 255, "HDU 1: BLANK has a value of 42 characters, too long for an integer"},
        {"fits_constant.fits", 0, ""},
        {"fits_naxis3_2.fits", 0, ""},
        {"fits_naxis3_1000.fits", 0, ""},
        {"fz_tiles_not_dividing.fits", 0, ""},
        {"fz_unknown_compression.fits", 255, "unpacking failed: error uncompressing image"},
        {"fz_truncated_tile.fits", 255, "compressed tile 1 is missing or cut short: the file ends before it"},
        {"fz_huge_declared_image.fits", 255, "the uncompressed data would take 4294841985 bytes, too much for a file of 8640 bytes"},
        {"fz_tile_size_zero.fits", 255, "HDU 2: ZTILE1 is not a count of 1 or more"},
        {"fz_axis_length_missing.fits", 255, "HDU 2: ZNAXIS1 is missing"},
        {"fz_no_axes.fits", 255, "HDU 2: ZNAXIS is not a count of 1 to 999"},
        {"fz_first_axis_zero_untiled.fits", 255, "HDU 2: ZNAXIS1 is 0 and ZTILE1 is missing"},
        {"fz_tile_larger_than_image.fits", 255, "HDU 2: ZTILE1 2147483647 exceeds ZNAXIS1 20"},
        {"fz_hcompress_tile_mismatch.fits", 255, "HCOMPRESS tile 1 says it holds 16 x 16 pixels, the tile has 8 x 16", ""},
        {"fz_gzip_tile_inflates_beyond.fits", 255, "GZIP tile 1 inflates beyond the 800 bytes it can take", ""},
        {"fz_gzip_tile_cut_short.fits", 255, "GZIP tile 1 is damaged or cut short", ""},
        {"fz_lossless_floats_as_doubles.fits", 255, "GZIP tile 1 inflates to fewer than the 1920 bytes of its samples", ""},
        {"fz_table_tiles_not_rows.fits", 255, "the compressed table has 2 tiles in 1 table rows"},
        {"fz_table_column_beyond.fits", 255, "compressed table column 1, tile 1, inflates beyond the 4000 bytes it can take"},
        {"fz_table_narrower_than_columns.fits", 255, "the columns of the compressed table take 16 bytes a row, ZNAXIS1 says 8"},
        {"fz_table_variable_length.fits", 255, "no image HDU with two or more axes"},
        {"bayer_1x1.fits", 0, ""},
        {"bayer_2x1.fits", 0, ""},
        {"bayer_1x1_row_offset.fits", 0, ""},
        {"bayer_odd_7x5.fits", 0, ""},
        {"bayer_offset_too_long.fits", 0, ""},
        {"bayer_offsets_beyond.fits", 0, ""},
        {"wcs_bad_values.fits", 0, ""},
        {"wcs_singular_matrix.fits", 0, ""},
        {"wcs_many_axes.fits", 0, ""},
        {"wcs_8bit_comment.fits", 0, ""},
        {"wcs_sip_not_a_number.fits", 0, ""},
        {"wcs_unclosed_string.fits", 0, ""},
        {"xisf_wrong_signature.xisf", 255, "does not start with the XISF 1.0 signature"},
        {"xisf_header_past_end.xisf", 255, "reaches past the end of the file"},
        {"xisf_malformed_xml.xisf", 255, "not valid XML"},
        {"xisf_attachment_outside.xisf", 255, "lies outside the file"},
        {"xisf_size_mismatch.xisf", 255, "attachment holds 30 bytes, the image needs 32 bytes"},
        {"xisf_block_expands_beyond.xisf", 255, "expands beyond its declared 32 bytes", ""},
        {"xisf_entity_expansion.xisf", 255, "document type declaration"},
        {"xisf_wrong_shuffle_item_size.xisf", 255, "shuffle item size 4 does not match the 2-byte samples"},
        {"raw_truncated.dng", 255, "not an encoded picture", ""},
        {"raw_no_preview.dng", 255, "LibRaw cannot read the embedded picture: No thumbnail in file", ""},
        {"raw_bitmap_preview.dng", 255, "LibRaw cannot read the embedded picture", ""},
        {"raw_undecodable_preview.dng", 255, "LibRaw cannot read the embedded picture", ""},
        {"picture_huge_declared.png", 255, "100000 x 100000 pixels, more than a side of 65535 allows"},
        {"picture_truncated.jpg", 255, "Unable to read image data"},
    };
    QStringList listed = {"make_malformed.cpp", "valid_u16.fits", "valid_bayer.fits"};
    for (const Case &c : cases)
        listed << QLatin1String(c.file);
    for (const QString &file : QDir(kDataDir).entryList(QDir::Files))
        EXPECT_TRUE(listed.contains(file)) << file.toStdString() << " has no expectation";

    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const QString file = kDataDir + QLatin1Char('/') + QLatin1String(c.file);
        ASSERT_TRUE(QFileInfo::exists(file));
        // A thumbnail goes the way of a preview.
        EXPECT_EQ(run(Action::Thumb, file).exitCode, c.previewExit);
        const ProcessResult preview = run(Action::Preview, file);
        EXPECT_EQ(preview.exitCode, c.previewExit) << text(preview.err);
        if (*c.message) {
            EXPECT_TRUE(lastLine(preview.err).contains(c.message)) << text(preview.err);
        } else {
            EXPECT_TRUE(preview.err.isEmpty()) << text(preview.err);
        }

        // A record is still printed for a FITS or XISF file that fails to
        // load, with the same reason; pictures print none.
        const ProcessResult meta = run(Action::Meta, file);
        const bool picture = file.endsWith(QLatin1String(".png")) || file.endsWith(QLatin1String(".jpg"));
        EXPECT_EQ(meta.exitCode, picture && c.previewExit ? 255 : 0);
        if (meta.exitCode == 0) {
            EXPECT_TRUE(QJsonDocument::fromJson(meta.out).isObject()) << text(meta.out);
        }
        const char *metaMessage = c.metaMessage ? c.metaMessage : c.message;
        if (*metaMessage) {
            EXPECT_TRUE(lastLine(meta.err).contains(metaMessage)) << text(meta.err);
        } else {
            // LibRaw's JPEG decoder may still grumble about a cut file.
            EXPECT_FALSE(meta.err.contains("skyimg:")) << text(meta.err);
        }
    }
}

QByteArray fitsCard(const QByteArray &text)
{
    return text.leftJustified(80, ' ', true);
}

QByteArray blockPadded(QByteArray bytes, char fill)
{
    if (bytes.size() % 2880)
        bytes.append(QByteArray(2880 - bytes.size() % 2880, fill));
    return bytes;
}

// A 16 x 12 image of 8-bit samples behind the given extra cards.
QByteArray smallImageWith(const QByteArray &extraCards)
{
    QByteArray head = fitsCard("SIMPLE  =                    T") + fitsCard("BITPIX  =                    8") +
                      fitsCard("NAXIS   =                    2") + fitsCard("NAXIS1  =                   16") +
                      fitsCard("NAXIS2  =                   12") + extraCards + fitsCard("END");
    QByteArray samples(16 * 12, '\0');
    for (int i = 0; i < samples.size(); ++i)
        samples[i] = char(i * 7);
    return blockPadded(head, ' ') + blockPadded(samples, '\0');
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Headers too large to commit: they must load, in the time a normal run takes.
TEST_F(Malformed, HugeHeadersLoad)
{
    QByteArray comments;
    for (int i = 0; i < 36 * 2000; ++i)
        comments += fitsCard("COMMENT " + QByteArray::number(i));
    ASSERT_TRUE(writeBytes(path("blocks.fits"), smallImageWith(comments)));

    QByteArray chain = fitsCard("LONGSTRN= 'OGIP 1.0'") + fitsCard("NOTE    = 'start&'");
    for (int i = 0; i < 20000; ++i)
        chain += fitsCard("CONTINUE  '" + QByteArray(60, char('a' + i % 26)) + "&'");
    chain += fitsCard("CONTINUE  'end'");
    ASSERT_TRUE(writeBytes(path("continue.fits"), smallImageWith(chain)));

    for (const char *name : {"blocks.fits", "continue.fits"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(run(Action::Preview, path(name)).exitCode, 0);
        const ProcessResult meta = run(Action::Meta, path(name));
        EXPECT_EQ(meta.exitCode, 0);
        EXPECT_TRUE(meta.err.isEmpty()) << text(meta.err);
    }
    const QJsonObject record = QJsonDocument::fromJson(run(Action::Meta, path("continue.fits")).out).object();
    EXPECT_EQ(record.value("note").toString().size(), 5 + 20000 * 60 + 3);
}

TEST_F(Malformed, CommandLine)
{
    const QString valid = kDataDir + QStringLiteral("/valid_u16.fits");
    ASSERT_TRUE(QFile::copy(valid, path("upper.FITS")));
    ASSERT_TRUE(QFile::copy(valid, path("notes.txt")));
    ASSERT_TRUE(QFile::copy(valid, path("with spaces in it.fits")));
    ASSERT_TRUE(QFile::copy(valid, path(QStringLiteral("Sternfeld-\u00e4\u00df-\u661f.fits"))));
    ASSERT_TRUE(QFile::copy(valid, path("-dash.fits")));
    ASSERT_TRUE(QDir().mkpath(path("folder.fits")));
    const QString out = path("out.png");

    struct Case {
        const char *what;
        QStringList args;
        int exitCode;
        const char *message;  // last line of standard error; "" for none
        int width;            // of the written picture; 0 when none is written
    };
    const Case cases[] = {
        {"missing file", {"--save-preview", out, path("absent.fits")}, 255, "is not found!", 0},
        {"directory as source", {"--save-preview", out, path("folder.fits")}, 255, "it is a directory", 0},
        {"directory as source, meta", {"--meta", path("folder.fits")}, 255, "it is a directory", 0},
        {"unsupported suffix", {"--save-preview", out, path("notes.txt")}, 255, "unsupported file type", 0},
        {"upper-case suffix", {"--save-preview", out, path("upper.FITS")}, 0, "", 16},
        {"output folder missing", {"--save-preview", path("none/out.png"), valid}, 255, "cannot write", 0},
        {"output is a directory", {"--save-preview", path("folder.fits"), valid}, 255, "cannot write", 0},
        {"width 0", {"--max-width", "0", "--save-preview", out, valid}, 0, "", 16},
        {"negative width", {"--max-width", "-5", "--save-preview", out, valid}, 0, "", 16},
        {"width 2^31-1", {"--max-width", "2147483647", "--save-preview", out, valid}, 0, "", 16},
        {"width beyond int", {"--max-width", "2147483648", "--save-preview", out, valid}, 0, "", 16},
        {"width 3", {"--max-width", "3", "--save-preview", out, valid}, 0, "", 3},
        {"quality -5", {"-q", "-5", "--save-preview", out, valid}, 0, "", 16},
        {"quality 1000", {"-q", "1000", "--save-preview", out, valid}, 0, "", 16},
        {"spaces", {"--save-preview", path("out with spaces.png"), path("with spaces in it.fits")}, 0, "", 16},
        {"non-ASCII", {"--save-preview", path(QStringLiteral("\u00e4\u661f.png")), path(QStringLiteral("Sternfeld-\u00e4\u00df-\u661f.fits"))}, 0, "", 16},
        // The parser reads a leading dash as options; after "--" it is a name.
        {"leading dash", {"--save-preview", out, path("-dash.fits")}, 0, "", 16},
        {"leading dash after --", {"--save-preview", out, "--", "-dash.fits"}, 0, "", 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const QString &name : {out, path("out with spaces.png"), path(QStringLiteral("\u00e4\u661f.png"))})
            QFile::remove(name);
        QStringList args = c.args;
        args << QStringLiteral("-f") << QStringLiteral("png");
        const ProcessResult result = runSkyimg(args, dir.path());
        EXPECT_FALSE(result.crashed);
        EXPECT_EQ(result.exitCode, c.exitCode) << text(result.err);
        if (*c.message) {
            EXPECT_TRUE(lastLine(result.err).contains(c.message)) << text(result.err);
        } else {
            EXPECT_TRUE(result.err.isEmpty()) << text(result.err);
        }
        const int at = args.indexOf(QStringLiteral("--save-preview"));
        if (at < 0)
            continue;
        const QString written = QDir(dir.path()).filePath(args.at(at + 1));
        if (c.width) {
            EXPECT_EQ(QImage(written).width(), c.width);
        } else {
            EXPECT_FALSE(QFileInfo(written).isFile());
        }
    }

    // A name that starts with a dash, given bare, is options to the parser.
    const ProcessResult dashed = runSkyimg({"--meta", "-dash.fits"}, dir.path());
    EXPECT_FALSE(dashed.crashed);
    EXPECT_EQ(dashed.exitCode, 1);
    EXPECT_TRUE(dashed.err.contains("Unknown option")) << text(dashed.err);

    if (QFileInfo::exists(QStringLiteral("/dev/full"))) {
        const ProcessResult full = runSkyimg({"--save-preview", "/dev/full", valid});
        EXPECT_EQ(full.exitCode, 255);
        EXPECT_TRUE(lastLine(full.err).contains("cannot write /dev/full")) << text(full.err);
    }
}

// A record is the file's, not the run's: only the uuid differs between
// runs, also when they fall in different seconds (checksums computed while
// reading would carry the time of the run).
TEST_F(Malformed, CompressedRecordsAreTheSameOnEveryRun)
{
    const QStringList files = QDir(kDataDir).entryList({QStringLiteral("fz_*")}, QDir::Files);
    ASSERT_FALSE(files.isEmpty());
    auto records = [&files, this]() {
        QList<QJsonObject> all;
        for (const QString &file : files) {
            QJsonObject record = QJsonDocument::fromJson(run(Action::Meta, kDataDir + '/' + file).out).object();
            EXPECT_FALSE(record.take("uuid").toString().isEmpty()) << file.toStdString();
            all << record;
        }
        return all;
    };
    const QList<QJsonObject> first = records();
    QThread::sleep(1);
    const QList<QJsonObject> second = records();
    for (int i = 0; i < files.size(); ++i)
        EXPECT_EQ(first[i], second[i]) << files[i].toStdString();
}

// Eight runs at once on the same inputs give the same outputs and leave
// nothing in the temporary directory, which the runs get to themselves.
TEST_F(Malformed, ParallelRunsAgreeAndLeaveNoTemporaryFiles)
{
    // Under /tmp: a Bayer frame there is copied to a scratch file first.
    QTemporaryDir inputs(QStringLiteral("/tmp/skyimg-parallel-XXXXXX"));
    ASSERT_TRUE(inputs.isValid());
    const QString bayer = inputs.filePath("bayer.fits");
    const QString packed = inputs.filePath("packed.fits.fz");
    ASSERT_TRUE(QFile::copy(kDataDir + "/valid_bayer.fits", bayer));
    ASSERT_TRUE(QFile::copy(kDataDir + "/fz_tiles_not_dividing.fits", packed));
    const QString tmp = path("private-tmp");
    ASSERT_TRUE(QDir().mkpath(tmp));
    ASSERT_TRUE(QDir().mkpath(path("out")));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", tmp);
    env.insert("TZ", "UTC");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    for (const QString &source : {bayer, packed}) {
        for (const char *action : {"--save-preview", "--meta"}) {
            SCOPED_TRACE((QFileInfo(source).fileName() + " " + action).toStdString());
            constexpr int kRuns = 8;
            std::vector<std::unique_ptr<QProcess>> processes;
            for (int i = 0; i < kRuns; ++i) {
                auto process = std::make_unique<QProcess>();
                process->setProcessEnvironment(env);
                QStringList args = {QString::fromLatin1(action)};
                if (QLatin1String(action) == QLatin1String("--save-preview"))
                    args << path(QStringLiteral("out/%1.png").arg(i)) << "-f" << "png";
                process->start(QStringLiteral(SKYIMG_BINARY), args << source);
                processes.push_back(std::move(process));
            }
            QList<QByteArray> outputs;
            for (int i = 0; i < kRuns; ++i) {
                QProcess &process = *processes[size_t(i)];
                ASSERT_TRUE(process.waitForFinished(60000));
                EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
                EXPECT_EQ(process.exitCode(), 0) << text(process.readAllStandardError());
                if (QLatin1String(action) == QLatin1String("--meta")) {
                    QJsonObject record = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
                    record.remove("uuid");
                    outputs << QJsonDocument(record).toJson();
                } else {
                    QFile picture(path(QStringLiteral("out/%1.png").arg(i)));
                    ASSERT_TRUE(picture.open(QIODevice::ReadOnly));
                    outputs << picture.readAll();
                }
            }
            for (const QByteArray &output : outputs)
                EXPECT_EQ(output, outputs.first());
            EXPECT_TRUE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty())
                << QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).join(' ').toStdString();
        }
    }
    const QStringList written = QDir(path("out")).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(written.size(), 8) << written.join(' ').toStdString();
    EXPECT_EQ(QDir(inputs.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

} // namespace
