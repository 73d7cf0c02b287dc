#pragma once
// The collector and the simulator run as their own processes, for the tests of both
// the collector and its store.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>

inline QProcessEnvironment headless()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

inline Run collect(const QStringList &args, const QProcessEnvironment &env = headless(),
                  const std::function<void()> &inChild = {},
                  const QString &program = QStringLiteral(QZ_COLLECT_PATH))
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (inChild)
        p.setChildProcessModifier(inChild);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// The simulator as its own process, with a link to its device; stopped by closing
// its standard input. With --log it names every command it got on standard error.
struct Sim
{
    QProcess process;
    QString device;

    bool start(const QString &link, const QStringList &args)
    {
        process.start(QStringLiteral(QZ_SIM_PATH), QStringList{"--link", link, "--log"} + args);
        if (!process.waitForStarted(10000))
            return false;
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(10000))
                return false;
        }
        device = QString::fromLocal8Bit(process.readLine()).trimmed();
        return device.startsWith(QLatin1String("/dev/"));
    }
    QByteArray log()
    {
        process.waitForReadyRead(100);
        return process.readAllStandardError();
    }
    ~Sim()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
};


// The collector with fsync failing on files or on folders (tests/fail_sync.c).
inline QProcessEnvironment failingSync(const QString &which)
{
    QProcessEnvironment env = headless();
    env.insert("LD_PRELOAD", QStringLiteral(QZ_FAIL_SYNC_PATH));
    env.insert("QZ_FAIL_SYNC", which);
    // A sanitized build wants its runtime first; the preload does not touch memory.
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    return env;
}

