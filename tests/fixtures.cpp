#include "tests/fixtures.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include <fitsio.h>
#include <gtest/gtest.h>

namespace {

bool writeHdu(fitsfile *f, const FitsFixture &fixture, int &status)
{
    std::vector<long> axes = fixture.axes;
    fits_create_img(f, fixture.bitpix, int(axes.size()), axes.empty() ? nullptr : axes.data(), &status);
    for (const QString &card : fixture.cards) {
        QByteArray text = card.toLatin1();
        fits_write_record(f, text.constData(), &status);
    }
    if (axes.empty())
        return status == 0;  // CFITSIO 4.2 loops in fits_set_bscale on an HDU without data
    // Store the given values as they are, whatever BZERO/BSCALE say.
    fits_set_bscale(f, 1.0, 0.0, &status);
    if (fixture.data) {
        long long n = 1;
        for (long a : axes)
            n *= a;
        fits_write_img(f, fixture.dataType, 1, n, const_cast<void *>(fixture.data), &status);
    }
    return status == 0;
}

// A QProcess can be told that a child whose start failed half-way is gone:
// its destructor would otherwise kill the pid it holds, which may be -1.
class ChildProcess : public QProcess
{
public:
    void forget() { setProcessState(QProcess::NotRunning); }
};

} // namespace

bool writeFits(const QString &path, const FitsFixture &fixture)
{
    QFile::remove(path);
    int status = 0;
    fitsfile *f = nullptr;
    QByteArray name = QFile::encodeName(path);
    fits_create_diskfile(&f, name.constData(), &status);
    writeHdu(f, fixture, status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    if (status || closeStatus) {
        fits_report_error(stderr, status ? status : closeStatus);
        return false;
    }
    return true;
}

bool appendFitsImage(const QString &path, const FitsFixture &fixture)
{
    int status = 0;
    fitsfile *f = nullptr;
    QByteArray name = QFile::encodeName(path);
    fits_open_diskfile(&f, name.constData(), READWRITE, &status);
    writeHdu(f, fixture, status);
    int closeStatus = 0;
    if (f)
        fits_close_file(f, &closeStatus);
    if (status || closeStatus) {
        fits_report_error(stderr, status ? status : closeStatus);
        return false;
    }
    return true;
}

ProcessResult runProgram(const QString &program, const QStringList &args, const QString &workingDir)
{
    ChildProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TZ", "UTC");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    if (!workingDir.isEmpty())
        process.setWorkingDirectory(workingDir);
    process.start(program, args);
    ProcessResult result;
    // Only a process that runs may be killed: when the start fails half-way
    // (an emulator whose clone() lacks CLONE_PIDFD), Qt 5.15 keeps the pid -1
    // and kill() sends SIGKILL to every process the user may signal.
    if (!process.waitForStarted(30000) || process.processId() <= 0) {
        ADD_FAILURE() << "cannot start " << program.toStdString() << " (pid " << process.processId()
                      << "): " << process.errorString().toStdString();
        if (process.processId() <= 0)
            process.forget();
        result.crashed = true;
        return result;
    }
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        result.crashed = true;
    }
    result.crashed = result.crashed || process.exitStatus() != QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

ProcessResult runSkyimg(const QStringList &args, const QString &workingDir)
{
    return runProgram(QStringLiteral(SKYIMG_BINARY), args, workingDir);
}
