// qz7310-collect against the simulator on pseudo-terminals: the program run as its own
// process (no display in its environment) where the exit status matters, and the
// read-out session in-process where the test plays the counter itself.
#include "output_dir.h"
#include "readout_judge.h"
#include "readout_session.h"
#include "store_address.h"
#include "stop_request.h"
#include "csv/csv_writer.h"
#include "line/line_comm_control.h"
#include "line/serial_comm_control.h"
#include "collect_support.h"
#include "test_support.h"

#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// A TCP port on 127.0.0.1 that nothing listens on now.
quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// Debian's ser2net as a serial device server: raw TCP on 127.0.0.1 and a free port,
// the device (the simulator's pseudo-terminal) behind it. Started and stopped by the
// test, with its configuration in a temporary folder.
struct Ser2net
{
    QProcess process;
    quint16 port = 0;

    static QString program()
    {
        return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                              {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    }
    QString address() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port); }

    bool start(const QTemporaryDir &dir, const QString &device)
    {
        port = freePort();
        const QString config = dir.filePath(QStringLiteral("ser2net.yaml"));
        const QByteArray yaml = "connection: &qz7310\n"
                                "    accepter: tcp,127.0.0.1," + QByteArray::number(port) + "\n"
                                "    connector: serialdev," + QFile::encodeName(device) + ",9600n81,local\n"
                                "    options:\n"
                                "      mdns: false\n";
        if (port == 0 || !writeFile(config, yaml))
            return false;
        // In the foreground, without UUCP locks, its pid file in the temporary folder.
        process.start(program(), {"-n", "-u", "-c", config, "-P", dir.filePath(QStringLiteral("ser2net.pid"))});
        if (!process.waitForStarted(10000))
            return false;
        return listening();
    }
    // Ready once the kernel lists its socket as listening; a trial connection would
    // open the device behind it.
    bool listening()
    {
        const QByteArray entry = " 0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0')
                                 + " 00000000:0000 0A ";
        QDeadlineTimer patience(10000);
        while (!patience.hasExpired() && process.state() == QProcess::Running) {
            if (fileBytes(QStringLiteral("/proc/net/tcp")).contains(entry))
                return true;
            QTest::qWait(20);
        }
        return false;
    }
    void stop()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
    ~Ser2net() { stop(); }
};

// What the window's writer makes of the frames the simulator sends for `command`;
// `stray` counts the characters that arrived outside any frame and not as a lead.
QByteArray windowCsv(const QString &device, const QByteArray &command, int *records, int *stray = nullptr)
{
    RawLine line;
    if (!line.open(device) || !line.write(command))
        return "no line";
    Receiver rx;
    int outside = 0;
    for (char c : line.drain()) {
        if (rx.state.PendingLength == 0 && c != Ctl::STX && c != Ctl::ACK && c != Ctl::NAK)
            ++outside;
        rx.feed(QByteArray(1, c));
    }
    line.close();
    QTest::qWait(100); // the simulator lets go of this client before the next comes
    *records = rx.state.FrameCount;
    if (stray)
        *stray = outside;
    return csvBytes(rx.table, rx.state.FrameCount);
}

// A file's bytes by its name as the system keeps it (QFile would take the name as UTF-8).
QByteArray rawFileBytes(const QByteArray &name)
{
    QFile f;
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || !f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return "not there";
    return f.readAll();
}

const QByteArray earlier("\"9\",\"1\",\"1\",\"1\",\"1\",\"1\",\"5\"\r\n");

// A small tmpfs of the test's own (root only), unmounted at the end.
struct Mount
{
    QByteArray where;
    bool tmpfs(const QString &path, const char *options)
    {
        if (::geteuid() != 0 || ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options) != 0)
            return false;
        where = QFile::encodeName(path);
        return true;
    }
    bool readOnly() { return ::mount(nullptr, where.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }
    ~Mount()
    {
        if (!where.isEmpty())
            ::umount2(where.constData(), MNT_DETACH);
    }
};

} // namespace

class TestCollect : public QObject
{
    Q_OBJECT

private slots:
    void csvAsTheWindowWrites_data();
    void csvAsTheWindowWrites();
    void clearRefused_data();
    void clearRefused();
    void clearsAfterCompleteReadout();
    void portNotOpened_data();
    void portNotOpened();
    void usage_data();
    void usage();
    void listPorts();
    void recordNumbers_data();
    void recordNumbers();
    void throughDeviceServer_data();
    void throughDeviceServer();
    void newFileInFolder_data();
    void newFileInFolder();
    void singleFaultSweep_data();
    void singleFaultSweep();
    void twoRunsOnOneEmptyFile();
};

void TestCollect::csvAsTheWindowWrites_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QByteArray>("name"); // the file's name as the system keeps it; empty: standard output
    QTest::addColumn<int>("records");
    QTest::addColumn<QString>("quiet");
    QTest::newRow("36 records to a file") << QStringList{"--fast"} << QByteArray("records.csv") << 36 << "100";
    QTest::newRow("100 records, the last numbered 00, to standard output")
        << QStringList{"--fast", "--records", "100"} << QByteArray() << 100 << "100";
    QTest::newRow("junk between frames") << QStringList{"--fast", "--garbage", "--seed", "99"}
                                         << QByteArray("records.csv") << 36 << "100";
    // Latin-1, as an older system would have named it: that name, not one with U+FFFD.
    QTest::newRow("to a file whose name is not UTF-8") << QStringList{"--fast"} << QByteArray("r\xe9sum\xe9.csv")
                                                       << 36 << "100";
    // Overlong pairs are no UTF-8: never a '/' (C0 AF) or DEL (C1 BF) in the name.
    QTest::newRow("a name with the overlong pair C0 AF") << QStringList{"--fast"} << QByteArray("a\xc0\xaf" "b.csv")
                                                         << 36 << "100";
    QTest::newRow("a name with the overlong pair C1 BF") << QStringList{"--fast"} << QByteArray("a\xc1\xbf" "b.csv")
                                                         << 36 << "100";
    // The reply takes 4.4 s at 9600 baud, over four times the quiet time, with no gap
    // near it: the quiet time runs from the last character, not from the first. (A
    // quiet time of a second leaves room for a loaded machine's scheduling.)
    QTest::newRow("paced at 9600 baud, longer than --quiet")
        << QStringList{"--records", "100"} << QByteArray("records.csv") << 100 << "1000";
}

void TestCollect::csvAsTheWindowWrites()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QByteArray, name);
    QFETCH(int, records);
    QFETCH(QString, quiet);
    const bool toFile = !name.isEmpty();
    QTemporaryDir dir;
    Sim sim;
    QVERIFY(sim.start(dir.filePath("COM1"), simArgs));

    int received = 0;
    int stray = 0;
    const QByteArray expected = windowCsv(sim.device, rddAll, &received, &stray);
    QCOMPARE(received, records);

    // The name goes through the shell's printf as bytes (every one as \ooo): a
    // QProcess argument would be UTF-8.
    const QByteArray file = QFile::encodeName(dir.path()) + '/' + name;
    QByteArray escaped;
    for (const char c : toFile ? file : QByteArray("-"))
        escaped += '\\' + QByteArray::number(uchar(c), 8).rightJustified(3, '0');
    QProcessEnvironment env = headless();
    env.insert("QZ_OUTPUT", QString::fromLatin1(escaped));
    const Run r = collect({"-c", "exec \"$0\" \"$@\" --output \"$(printf \"$QZ_OUTPUT\")\"", QZ_COLLECT_PATH, "--port",
                           dir.filePath("COM1"), "--quiet", quiet},
                          env, {}, QStringLiteral("/bin/sh"));
    QVERIFY2(r.status == 0, r.err.constData());
    QCOMPARE(toFile ? rawFileBytes(file) : r.out, expected);
    if (toFile)
        QVERIFY(r.out.isEmpty());
    // The characters the framing dropped are counted for the operator.
    if (stray > 0)
        QVERIFY2(r.err.contains("qz7310-collect: " + QByteArray::number(stray)
                                + (stray == 1 ? " stray character" : " stray characters") + " between frames ignored\n"),
                 r.err.constData());
    else
        QVERIFY2(!r.err.contains("stray"), r.err.constData());
}

void TestCollect::clearRefused_data()
{
    QTest::addColumn<QStringList>("simArgs");
    // "file" (--overwrite), "kept file" (no --overwrite), "folder", "size limit",
    // "file sync" or "folder sync" (fsync fails)
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::newRow("cut-off reply") << QStringList{"--stop-after", "100"} << "file" << 3
                                   << "the last reply was cut off: a frame of 16 characters was still open";
    QTest::newRow("lost CR mid read-out") << QStringList{"--lose-cr", "5"} << "file" << 3
                                          << "record numbers do not run 01, 02, ...: record 6 came numbered \"07\"";
    // Two frames run together pass the length rule and the numbering; the STX inside
    // gives them away.
    QTest::newRow("lost CR of the third-to-last frame")
        << QStringList{"--lose-cr", "34"} << "file" << 3
        << "data frame 34 of 35 (record 34) is malformed: it holds a STX at position 42";
    QTest::newRow("lost CR of the second-to-last frame")
        << QStringList{"--lose-cr", "35"} << "file" << 3
        << "data frame 35 of 35 (record 35) is malformed: it holds a STX at position 42";
    QTest::newRow("lost CR of the last frame") << QStringList{"--lose-cr", "36"} << "file" << 3
                                               << "a frame of 41 characters was still open";
    QTest::newRow("NAK replies") << QStringList{"--nak"} << "file" << 3 << "1 NAK reply (\"ERROR...\"";
    QTest::newRow("output is a folder") << QStringList{} << "folder" << 4 << "it is a folder";
    // SIGTERM while the read-out is judged: nothing written, nothing sent after it.
    QTest::newRow("stopped by SIGTERM mid-run") << QStringList{} << "signal" << 128 + SIGTERM
                                                << "stopped by SIGTERM: nothing was written to";
    // SIGTERM while the file is synced (a slow disk): the file is whole and named, and
    // nothing more goes out; a second signal ends the run at once.
    QTest::newRow("stopped by SIGTERM during the file's sync")
        << QStringList{} << "signal in sync" << 128 + SIGTERM
        << "stopped by SIGTERM before CLR ALL was sent: the read-out is saved in ";
    QTest::newRow("a second SIGTERM during the file's sync")
        << QStringList{} << "second signal in sync" << 128 + SIGTERM
        << "stopped at once by a second signal; CLR ALL was not sent";
    QTest::newRow("file size limit hit while writing") << QStringList{} << "size limit" << 4 << "File too large";
    QTest::newRow("existing file kept without --overwrite")
        << QStringList{} << "kept file" << 4
        << "records.csv: the file exists and is not empty (--overwrite replaces it); nothing was read from the counter";
    QTest::newRow("the file's sync fails") << QStringList{} << "file sync" << 4
                                           << "the file could not be synced to disk: Input/output error";
    QTest::newRow("the file's close fails after its sync")
        << QStringList{} << "file close" << 4 << "records.csv: Input/output error; the counter was not cleared";
    QTest::newRow("the folder's sync fails")
        << QStringList{} << "folder sync" << 4
        << "the new file is in place but its folder could not be synced to disk, so it may not be on disk: "
           "Input/output error";
    // --output-dir: the new file goes through the same checked steps.
    QTest::newRow("--output-dir missing") << QStringList{} << "runs missing" << 4
                                          << "runs: no such folder; nothing was read from the counter";
    QTest::newRow("--output-dir: the file's sync fails") << QStringList{} << "runs file sync" << 4
                                                         << "the file could not be synced to disk: Input/output error";
    QTest::newRow("--output-dir: the file's close fails after its sync")
        << QStringList{} << "runs file close" << 4 << ": Input/output error; the counter was not cleared";
    QTest::newRow("--output-dir: the folder's sync fails")
        << QStringList{} << "runs folder sync" << 4
        << "its folder could not be synced to disk, so it may not be on disk: Input/output error";
}

// Every refusal leaves the file and the counter's records as they were.
void TestCollect::clearRefused()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QString, target);
    QFETCH(int, status);
    QFETCH(QString, says);
    QTemporaryDir dir;
    Sim sim;
    QVERIFY(sim.start(dir.filePath("COM1"), QStringList{"--fast"} + simArgs));

    QString output = dir.filePath("records.csv");
    QVERIFY(writeFile(output, earlier));
    std::function<void()> inChild;
    QProcessEnvironment env = headless();
    const bool runs = target.startsWith(QLatin1String("runs "));
    if (runs)
        target = target.mid(5);
    if (target.endsWith(QLatin1String(" sync")))
        env = failingSync(target.section(' ', 0, 0));
    else if (target.endsWith(QLatin1String(" close")))
        env = failingSync(QStringLiteral("close"));
    if (target == QLatin1String("folder")) {
        output = dir.filePath("folder");
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        QVERIFY(writeFile(output + "/inside.csv", earlier));
    } else if (target == QLatin1String("size limit")) {
        // Room for the earlier file, not for 36 records: the write fails part way.
        inChild = [] {
            const rlimit limit {200, 200};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        };
    }

    QStringList args{"--port", dir.filePath("COM1"), "--output", output, "--clear", "--quiet", "100"};
    if (target != QLatin1String("kept file"))
        args << "--overwrite";
    const QString folder = dir.filePath("runs");
    if (runs) {
        if (target != QLatin1String("missing"))
            QVERIFY(QDir(dir.path()).mkdir("runs"));
        args = QStringList{"--port", dir.filePath("COM1"), "--output-dir", folder, "--clear", "--quiet", "100"};
    }
    QString program = QStringLiteral(QZ_COLLECT_PATH);
    if (target.endsWith(QLatin1String("signal in sync"))) {
        env = failingSync(QString());
        env.insert("QZ_SLOW_SYNC", "2000");
        const QString kills = target.startsWith(QLatin1String("second")) ? "kill -TERM $pid; sleep 0.3; " : "";
        args = QStringList{"-c", "\"$0\" \"$@\" & pid=$!; sleep 1; " + kills + "kill -TERM $pid; wait $pid",
                           program} + args;
        program = QStringLiteral("/bin/sh");
    } else if (target == QLatin1String("signal")) {
        // A long quiet time keeps the run waiting after the first reply; the signal
        // comes within it.
        args = QStringList{"--preserve-status", "-s", "TERM", "1", program} + args + QStringList{"--quiet", "3000"};
        program = QStandardPaths::findExecutable(QStringLiteral("timeout"));
    }
    const Run r = collect(args, env, inChild, program);
    QCOMPARE(r.status, status);
    QVERIFY2(r.err.contains(says.toUtf8()), r.err.constData());
    QVERIFY2(r.err.contains("the counter was not cleared"), r.err.constData());
    QVERIFY(r.out.isEmpty());

    if (runs) {
        // A new file named only once it is whole; nothing else left in the folder.
        const QStringList made = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(made.size(), target == QLatin1String("folder sync") ? 1 : 0);
        if (!made.isEmpty())
            QCOMPARE(fileBytes(QDir(folder).filePath(made[0])).count("\r\n"), 36);
        QCOMPARE(fileBytes(output), earlier);
    } else if (target == QLatin1String("folder"))
        QCOMPARE(fileBytes(output + "/inside.csv"), earlier);
    else if (target == QLatin1String("folder sync") || target == QLatin1String("signal in sync"))
        QCOMPARE(fileBytes(output).count("\r\n"), 36); // renamed into place whole
    else
        QCOMPARE(fileBytes(output), earlier);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::NoSymLinks), QStringList{"records.csv"}); // no temporary left
    const QByteArray log = sim.log();
    QVERIFY2(!log.contains("CLR ALL"), log.constData());
    // A target that cannot be used is found before the counter is asked anything.
    if (target == QLatin1String("kept file") || target == QLatin1String("folder") || target == QLatin1String("missing"))
        QVERIFY2(!log.contains("received"), log.constData());
    if (target == QLatin1String("second signal in sync")) {
        // The temporary file the stop left is named by the next run into the folder.
        const Run next = collect({"--port", dir.filePath("COM1"), "--output", dir.filePath("next.csv"), "--quiet", "100"});
        QCOMPARE(next.status, 0);
        QVERIFY2(next.err.contains(QFile::encodeName(dir.path()) + "/.qz7310-"), next.err.constData());
        QVERIFY2(next.err.contains(".part (1949 bytes) was left by an earlier run that was stopped while writing it"),
                 next.err.constData());
    }
}

// The done-when run, as a scheduled job would make it: COM1 mapped by the environment,
// no display at all.
void TestCollect::clearsAfterCompleteReadout()
{
    QTemporaryDir dir;
    Sim sim;
    QVERIFY(sim.start(dir.filePath("COM1"), {"--fast"}));
    int received = 0;
    const QByteArray expected = windowCsv(sim.device, rddAll, &received);
    QCOMPARE(received, 36);

    QProcessEnvironment env = headless();
    env.insert("QZ7310_COM1", dir.filePath("COM1"));
    const QString file = dir.filePath("records.csv");
    QVERIFY(writeFile(file, earlier));
    const QStringList args{"--port", "COM1", "--output", file, "--clear", "--overwrite"};

    Run r = collect(args, env);
    QCOMPARE(r.status, 0);
    QCOMPARE(fileBytes(file), expected);
    QVERIFY2(r.err.contains("36 records from COM1 (" + QFile::encodeName(dir.filePath("COM1")) + ") written to"),
             r.err.constData());
    QVERIFY2(r.err.contains("its records are cleared"), r.err.constData());
    QVERIFY(sim.log().contains("received <STX>CLR ALL<ETX><CR>, answering 2 bytes"));

    // Silence replaces nothing, not even with --overwrite.
    r = collect(args + QStringList{"--timeout", "1"}, env);
    QCOMPARE(r.status, 5);
    QCOMPARE(fileBytes(file), expected);
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains("either the counter holds no records, or no counter is answering"), r.err.constData());
    QVERIFY2(r.err.contains(QFile::encodeName(file) + " was left as it was"), r.err.constData());
    QVERIFY(!sim.log().contains("CLR ALL"));

    // Nothing of the windowing system is even loaded.
    const QByteArray binary = fileBytes(QStringLiteral(QZ_COLLECT_PATH));
    QVERIFY(binary.contains("libQt6Core.so.6"));
    QVERIFY(!binary.contains("libQt6Gui.so") && !binary.contains("libQt6Widgets.so"));
}

void TestCollect::portNotOpened_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("says");
    QTest::newRow("no such device") << "missing"
                                    << ": No such file or directory; the device does not exist: check that the "
                                       "counter's adapter is plugged in and which device it is (--list-ports)";
    QTest::newRow("COM2 mapped to nothing") << "COM2" << "cannot open COM2 (";
    QTest::newRow("held by another program")
        << "held" << ": Permission error while locking the device; another program holds it (process "
                     + QString::number(QCoreApplication::applicationPid());
    // QZ7310_COM1=pts/N: Qt opens /dev/pts/N, and that is the device judged.
    QTest::newRow("held, named without /dev/")
        << "held relative" << ": Permission error while locking the device; another program holds it (process "
                              + QString::number(QCoreApplication::applicationPid());
    QTest::newRow("user not in the device's group") << "group" << ": Permission denied; user nobody is not in "
                                                                  "the group 'dialout' that owns the device";
    QTest::newRow("device server: nothing listening")
        << "refused" << "tcp://127.0.0.1:%1: Connection refused; nothing is listening at 127.0.0.1 port %1: "
                        "check that the device server is on";
    QTest::newRow("device server: unknown host, as COM1")
        << "unknown host" << "; the host name no-such-host.invalid is not known: check the name, or give the "
                             "device server's IP address";
}

void TestCollect::portNotOpened()
{
    QFETCH(QString, how);
    QFETCH(QString, says);
    QTemporaryDir dir;
    PtyPair pty;
    QVERIFY(pty.ok());
    QString port = QString::fromLocal8Bit(pty.slavePath);
    QProcessEnvironment env = headless();
    std::function<void()> inChild;
    QString program = QStringLiteral(QZ_COLLECT_PATH);
    QTemporaryDir shared(QDir::tempPath() + QStringLiteral("/qz7310-collect-XXXXXX"));
    QSerialPort holder(port);

    if (how == QLatin1String("missing")) {
        port = dir.filePath("ttyUSB0");
    } else if (how == QLatin1String("refused")) {
        const quint16 free = freePort();
        QVERIFY(free != 0);
        port = QStringLiteral("tcp://127.0.0.1:%1").arg(free);
        says = says.arg(free);
    } else if (how == QLatin1String("unknown host")) {
        env.insert("QZ7310_COM1", "tcp://no-such-host.invalid:4001"); // .invalid never resolves
        port = "COM1";
    } else if (how == QLatin1String("COM2")) {
        env.insert("QZ7310_COM2", dir.filePath("ttyUSB1"));
        port = "COM2";
    } else if (how.startsWith(QLatin1String("held"))) {
        QVERIFY(holder.open(QIODevice::ReadWrite));
        if (how == QLatin1String("held relative")) {
            QVERIFY(pty.slavePath.startsWith("/dev/"));
            env.insert("QZ7310_COM1", QString::fromLocal8Bit(pty.slavePath.mid(5)));
            port = "COM1";
            says.prepend("cannot open COM1 (" + QString::fromLocal8Bit(pty.slavePath) + ")");
        }
    } else {
        if (::geteuid() != 0)
            QSKIP("needs root, to run the program as another user");
        const group *dialout = ::getgrnam("dialout");
        QVERIFY(dialout);
        QVERIFY(::chown(pty.slavePath.constData(), 0, dialout->gr_gid) == 0);
        QVERIFY(::chmod(pty.slavePath.constData(), 0660) == 0);
        // Another user cannot reach a build in a private folder (a clone made in a
        // mktemp -d folder is one), so it runs a copy from a folder anyone may enter.
        program = shared.filePath(QStringLiteral("qz7310-collect"));
        QVERIFY(::chmod(shared.path().toLocal8Bit().constData(), 0755) == 0);
        QVERIFY(QFile::copy(QStringLiteral(QZ_COLLECT_PATH), program));
        QVERIFY(::chmod(program.toLocal8Bit().constData(), 0755) == 0);
        if (const QString why = nobodyCannotTry({pty.slavePath, QFile::encodeName(program)}); !why.isEmpty())
            QSKIP(qPrintable(why));
        inChild = [] {
            if (!becomeNobody())
                ::_exit(99);
        };
    }

    const Run r = collect({"--port", port, "--output", "-"}, env, inChild, program);
    QCOMPARE(r.status, 2);
    QVERIFY(r.out.isEmpty());
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.startsWith("qz7310-collect: cannot open "), r.err.constData());
    QVERIFY2(r.err.contains(says.toUtf8()), r.err.constData());
    QVERIFY(pty.line().isEmpty()); // nothing was sent
}

void TestCollect::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("clear with current values") << QStringList{"--now", "--clear"};
    QTest::newRow("clear to standard output") << QStringList{"--clear"};
    QTest::newRow("clear with --output -") << QStringList{"--clear", "--output", "-"};
    QTest::newRow("clear into /dev/stdout") << QStringList{"--clear", "--output", "/dev/stdout"};
    QTest::newRow("port beyond COM4") << QStringList{"--port", "COM5"};
    QTest::newRow("quiet too short") << QStringList{"--quiet", "5"};
    QTest::newRow("timeout not a number") << QStringList{"--timeout", "soon"};
    QTest::newRow("unknown option") << QStringList{"--all"};
    QTest::newRow("stray argument") << QStringList{"records.csv"};
    QTest::newRow("network line without a port") << QStringList{"--port", "tcp://192.168.1.50"};
    QTest::newRow("IPv6 network line without brackets") << QStringList{"--port", "tcp://::1:4001"};
    QTest::newRow("both --output and --output-dir") << QStringList{"--output", "a.csv", "--output-dir", "."};
    QTest::newRow("empty --output-dir") << QStringList{"--output-dir", ""};
    QTest::newRow("--overwrite with --output-dir") << QStringList{"--output-dir", ".", "--overwrite"};
    QTest::newRow("--max-time out of range") << QStringList{"--max-time", "0.5"};
    QTest::newRow("a password in --store") << QStringList{"--store", "postgresql://lab:secret@db/qz7310"};
    QTest::newRow("--store of no engine") << QStringList{"--store", "mysql://db/qz7310"};
    // Refused, never taken without its query (no TLS where it was asked for).
    QTest::newRow("--store with a query") << QStringList{"--store", "postgresql://db/qz7310?sslmode=require"};
    QTest::newRow("--counter without --store") << QStringList{"--counter", "lab3"};
    QTest::newRow("--store in memory") << QStringList{"--store", "sqlite::memory:"};
    QTest::newRow("--store as an SQLite URI") << QStringList{"--store", "sqlite:file::memory:"};
    QTest::newRow("--store on another VFS") << QStringList{"--store", "sqlite:file:/tmp/x.db?vfs=memdb"};
    QTest::newRow("--export without --counter") << QStringList{"--store", "sqlite:h.db", "--export"};
    QTest::newRow("--export that would clear") << QStringList{"--store", "sqlite:h.db", "--counter", "a", "--export",
                                                               "--clear"};
    QTest::newRow("--since not a date") << QStringList{"--store", "sqlite:h.db", "--counter", "a", "--export",
                                                        "--since", "March"};
}

void TestCollect::usage()
{
    QFETCH(QStringList, args);
    PtyPair pty;
    QVERIFY(pty.ok());
    QProcessEnvironment env = headless();
    env.insert("QZ7310_COM1", QString::fromLocal8Bit(pty.slavePath));
    const Run r = collect(args, env);
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.startsWith("qz7310-collect: "), r.err.constData());
    QVERIFY(r.out.isEmpty());
    QTest::qWait(50);
    QVERIFY(pty.line().isEmpty());
}

// The ports as the window maps them, and whether each device is there.
void TestCollect::listPorts()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    QTemporaryDir dir;
    QProcessEnvironment env = headless();
    env.insert("QZ7310_COM2", QString::fromLocal8Bit(pty.slavePath));
    env.insert("QZ7310_COM3", dir.filePath("ttyUSB7"));
    env.insert("QZ7310_COM1", "tcp://[::1]:4001");
    env.insert("QZ7310_COM4", "null"); // not a path: the device under /dev, as Qt opens it
    const Run r = collect({"--list-ports"}, env);
    QVERIFY2(r.out.contains("  COM1  tcp://[::1]:4001 (from QZ7310_COM1): serial device server at ::1 port 4001, "
                            "raw TCP (not tried)\n"),
             r.out.constData());
    QCOMPARE(r.status, 0);
    QVERIFY(r.err.isEmpty());
    QVERIFY2(r.out.contains("  COM2  " + pty.slavePath + " (from QZ7310_COM2): exists\n"), r.out.constData());
    QVERIFY2(r.out.contains("  COM3  " + QFile::encodeName(dir.filePath("ttyUSB7")) + " (from QZ7310_COM3): does not exist\n"),
             r.out.constData());
    QVERIFY2(r.out.contains("  COM4  /dev/null (from QZ7310_COM4): exists\n"), r.out.constData());
}

void TestCollect::recordNumbers_data()
{
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<bool>("unplug"); // the line goes away after the frames
    // Done to every reply, to the second frame: "lost digit", "letter", "blank",
    // "total's last"; to the first reply only: "first: last frame lost"; to reply k,
    // frame k: "each reply differs"; "file made meanwhile" (another run takes the
    // name while the counter is read), "never quiet" (a byte every 50 ms after the
    // frames, --max-time 1).
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("late");      // the last frames come only after "CLR ALL", at every read-out
    QTest::addColumn<QString>("ack");   // the answer to "CLR ALL": "after" any late frames, "nak", "none"
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::addColumn<bool>("folder");   // --output-dir instead of --output
    QList<int> hundred;
    for (int n = 1; n <= 100; ++n)
        hundred << n % 100;
    const QList<int> three{1, 2, 3};
    QTest::newRow("01 to 100, the last as 00") << hundred << false << "" << 0 << "after" << 0 << "100 records" << false;
    QTest::newRow("a gap") << QList<int>{1, 2, 4} << false << "" << 0 << "after" << 3 << "record 3 came numbered \"04\"" << false;
    QTest::newRow("not from 01") << QList<int>{2, 3} << false << "" << 0 << "after" << 3 << "record 1 came numbered \"02\"" << false;
    QTest::newRow("twice the same") << QList<int>{1, 1} << false << "" << 0 << "after" << 3 << "record 2 came numbered \"01\"" << false;
    QTest::newRow("00 before 100") << QList<int>{1, 0} << false << "" << 0 << "after" << 3 << "record 2 came numbered \"00\"" << false;
    QTest::newRow("line lost after the frames") << QList<int>{1, 2} << true << "" << 0 << "after" << 3
                                                 << "the port closed during the read-out" << false;
    QTest::newRow("a digit lost in a count")
        << three << false << "lost digit" << 0 << "after" << 3
        << "data frame 2 of 3 (record 02) is malformed: it is 41 characters long with its CR, not at least 42" << false;
    QTest::newRow("a letter in a count")
        << three << false << "letter" << 0 << "after" << 3
        << "data frame 2 of 3 (record 02) is malformed: CNTR3 (positions 18-22) reads \"00O02\", not 5 digits" << false;
    QTest::newRow("a blank in a count")
        << three << false << "blank" << 0 << "after" << 3
        << "data frame 2 of 3 (record 02) is malformed: CNTR2 (positions 12-16) reads \"0 001\", not 5 digits" << false;
    QTest::newRow("a letter at the end of the total")
        << three << false << "total's last" << 0 << "after" << 3
        << "data frame 2 of 3 (record 02) is malformed: TOTAL (positions 36-41) reads \"00001O\", not 6 digits" << false;
    // The first reply lacks its last frame; the read-back has it, so a third read-out
    // decides: the two whole ones agree and are saved.
    QTest::newRow("the first reply's last frame lost, read again twice")
        << three << false << "first: last frame lost" << 0 << "after" << 0
        << "the read-outs from %1 differ (replies 1 and 2 first differ at data frame 3 (record 03), where one of "
           "them ended): reading once more before clearing\n3 records from %1 written to %2; clearing the counter "
           "(the last two read-outs in a row were alike)" << false;
    QTest::newRow("every reply different")
        << three << false << "each reply differs" << 0 << "after" << 3
        << "read-out from %1 not confirmed: no two of 3 replies in a row were alike, so a fault on the line cannot "
           "be ruled out; replies 1 and 2 first differ at data frame 1 (record 01), replies 2 and 3 at data frame 2 "
           "(record 02)\nnothing was written to %2; the counter was not cleared" << false;
    QTest::newRow("another run made the file meanwhile")
        << three << false << "file made meanwhile" << 0 << "after" << 4
        << "cannot write %2: the file was made by someone else while the counter was read (--overwrite replaces "
           "it); the counter was not cleared" << false;
    QTest::newRow("a line that never goes quiet")
        << three << false << "never quiet" << 0 << "after" << 3
        << "the line kept talking" << false;
    // The counter pauses longer than --quiet at the same place in every reply: the
    // read-outs agree on the first records, the rest come after CLR ALL and go to a
    // file of their own.
    QTest::newRow("records still coming when CLR ALL goes out, then the ACK")
        << QList<int>{1, 2, 3, 4} << false << "" << 2 << "after" << 3
        << "the counter confirmed CLR ALL (\"COMMAND OK!\"): its records are cleared\n"
           "2 frames arrived after CLR ALL was sent: the counter paused longer than --quiet (200 ms) within its "
           "reply, so the read-out had ended early; raise --quiet above the counter's pauses\n"
           "2 late records written to %3; %2 holds the 2 records read before" << false;
    QTest::newRow("records still coming when CLR ALL goes out, no answer")
        << three << false << "" << 1 << "none" << 3
        << "the counter did not confirm CLR ALL with ACK (\"COMMAND OK!\"): it sent 1 data frame (\"COMMAND OK !\") "
           "and then nothing for 1 s; its records may still be there, and the CSV is saved\n1 frame arrived after "
           "CLR ALL was sent" << false;
    // SIGTERM while the answer to CLR ALL is awaited: the saved file stays, the late
    // record is kept, and the line says the clear is not known to have happened.
    QTest::newRow("stopped by SIGTERM after CLR ALL")
        << three << false << "signal after CLR ALL" << 1 << "none" << 128 + SIGTERM
        << "stopped by SIGTERM after CLR ALL was sent: the records are saved in %2; the counter's answer had not "
           "come, so its records may still be there\n1 frame arrived after CLR ALL was sent: the counter paused "
           "longer than --quiet (200 ms) within its reply, so the read-out had ended early; raise --quiet above the "
           "counter's pauses\n1 late record written to %3; %2 holds the 2 records read before"
        << false;
    QTest::newRow("CLR ALL refused")
        << three << false << "" << 0 << "nak" << 3
        << "the counter refused CLR ALL (1 NAK reply (\"ERROR...\", the counter refused the command)): its records "
           "are still there, and the CSV is saved" << false;
    // Every reply is evidence: read-backs alike but shorter than the first reply are
    // not taken; read-backs alike and unsound are refused for what is wrong with them.
    QTest::newRow("read-backs alike and shorter than the first reply")
        << QList<int>{1, 2, 3, 4, 5} << false << "shorter read-backs" << 0 << "after" << 3
        << "read-out from %1 not confirmed: reply 1 held 5 data frames and the replies that agree only 3 records, "
           "so record 04 and any after it would be lost by a clear" << false;
    QTest::newRow("read-backs alike and cut off")
        << three << false << "cut read-backs" << 0 << "after" << 3
        << "read-out from %1 not confirmed: replies 2 and 3 were alike, but the last reply was cut off" << false;
    QTest::newRow("read-backs silent")
        << three << false << "silent read-backs" << 0 << "after" << 3
        << "read-out from %1 not confirmed: replies 2 and 3 were alike, but the counter sent nothing at all when "
           "asked again" << false;
    // The late records' place is made sure of before CLR ALL, or nothing is cleared.
    QTest::newRow("a 255-byte --output leaves no room for NAME.late.csv")
        << three << false << "long name" << 0 << "after" << 4
        << ".late.csv): File name too long; nothing was read from the counter, and the counter was not cleared"
        << false;
    QTest::newRow("--output a link in a read-only folder") << three << false << "read-only link" << 0 << "after" << 4
        << "/ro/records.late.csv): Read-only file system; nothing was read" << false;
    QTest::newRow("the disk full at the late records' place")
        << three << false << "full at the late file" << 0 << "after" << 4
        << "/small/records.late.csv): No space left on device; the counter was not cleared (3 records from %1 "
           "written to %2)" << false;
    // After the clear, the last resort: every late frame whole in the messages.
    QTest::newRow("the late file's sync fails after the clear")
        << three << false << "late sync fails" << 1 << "after" << 6
        << "late record kept only here: <STX>D03 00003 00001 00002 00003 00004 000013<CR>\n1 late record could not "
           "be kept (%2: the file could not be synced to disk: Input/output error): it is only in the lines above"
        << false;
    QTest::newRow("--store alone, the store locked after the clear")
        << three << false << "store locked after the clear" << 1 << "after" << 6
        << "late record kept only here: <STX>D03 00003 00001 00002 00003 00004 000013<CR>\n1 late record could not "
           "be kept (%4: " << false;
    // A stop while a file is synced: nothing more is sent, and the stop is not lost.
    QTest::newRow("a stop during the CSV's sync")
        << three << false << "signal in the CSV's sync" << 0 << "after" << 128 + SIGTERM
        << "stopped by SIGTERM before CLR ALL was sent: the read-out is saved in %2; the counter was not cleared"
        << false;
    QTest::newRow("a stop not yet delivered when the read-back would go out")
        << three << false << "signal before the read-back" << 0 << "after" << 128 + SIGTERM
        << "stopped by SIGTERM: nothing was written to %2; the counter was not cleared" << false;
    QTest::newRow("a stop during the late file's sync")
        << three << false << "signal in the late file's sync" << 1 << "after" << 128 + SIGTERM
        << "1 late record written to %3; %2 holds the 2 records read before\nstopped by SIGTERM as the run ended"
        << false;
    // A refusal ends the run at once, not after --timeout.
    QTest::newRow("CLR ALL answered COMMAND ERROR")
        << three << false << "" << 0 << "command error" << 3
        << "the counter refused CLR ALL (1 reply led by NAK or abandoned (\"COMMAND ERROR...\")): its records are "
           "still there" << false;
    QTest::newRow("into a folder: records still coming when CLR ALL goes out, then the ACK")
        << QList<int>{1, 2, 3, 4} << false << "" << 2 << "after" << 3
        << "its records are cleared\n2 frames arrived after CLR ALL was sent: the counter paused longer than "
           "--quiet (200 ms) within its reply, so the read-out had ended early; raise --quiet above the counter's "
           "pauses\n2 late records written to %3; %2 holds the 2 records read before"
        << true;
    QTest::newRow("into a folder: a letter in a count")
        << three << false << "letter" << 0 << "after" << 3
        << "data frame 2 of 3 (record 02) is malformed: CNTR3 (positions 18-22) reads \"00O02\", not 5 digits"
        << true;
    QTest::newRow("into a folder: 01 to 03, cleared") << three << false << "" << 0 << "after" << 0
                                                      << "3 records from %1 written to %2; clearing" << true;
}

// The session in-process, clearing as asked; the test is the counter and answers
// every "RDD ALL" with its frames and "CLR ALL" with any late frames and its answer.
void TestCollect::recordNumbers()
{
    QFETCH(QList<int>, numbers);
    QFETCH(bool, unplug);
    QFETCH(QString, fault);
    QFETCH(int, late);
    QFETCH(QString, ack);
    QFETCH(int, status);
    QFETCH(QString, says);
    QFETCH(bool, folder);
    QTemporaryDir dir;
    PtyPair pty;
    QVERIFY(pty.ok());

    CollectOptions options;
    options.device = QString::fromLocal8Bit(pty.slavePath);
    if (folder) {
        QVERIFY(QDir(dir.path()).mkdir("runs"));
        options.outputDir = dir.filePath("runs");
    } else {
        options.output = dir.filePath("records.csv");
    }
    options.clear = true;
    options.quietMs = 200;
    options.timeoutMs = ack == QLatin1String("nak") || ack == QLatin1String("command error") ? 5000 : 1000;
    Mount mount;
    if (fault == QLatin1String("long name")) {
        options.output = dir.filePath(QString(251, 'a') + ".csv");
    } else if (fault == QLatin1String("read-only link") || fault == QLatin1String("full at the late file")) {
        // A folder of its own: read-only, or with room for the CSV and not for more.
        const bool readOnly = fault == QLatin1String("read-only link");
        QVERIFY(QDir(dir.path()).mkpath(readOnly ? "ro" : "small"));
        if (!mount.tmpfs(dir.filePath(readOnly ? "ro" : "small"), readOnly ? "size=64k" : "size=16k"))
            QSKIP("needs root, to mount a small tmpfs");
        options.output = dir.filePath(readOnly ? "ro/records.csv" : "small/records.csv");
        if (readOnly) {
            QVERIFY(QFile::link(dir.filePath("records.csv"), options.output));
            QVERIFY(mount.readOnly());
        }
    }
    if (fault == QLatin1String("store locked after the clear")) {
        QString reason;
        QVERIFY(QDir(dir.path()).mkdir("store"));
        options.store = parseStoreAddress("sqlite:" + dir.filePath("store/history.db"), &reason);
        options.noCsv = true;
        options.output = dir.filePath("records.csv"); // not written: where files are looked for
    }
    QSqlDatabase locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
    locker.setDatabaseName(dir.filePath("store/history.db"));
    StopRequest::reset();
    if (fault == QLatin1String("signal in the CSV's sync"))
        setSyncHook([](SyncTarget, const QString &) { StopRequest::raise(SIGTERM); return true; });
    if (fault == QLatin1String("never quiet"))
        options.deadlineMs = 1000;

    // Reply k (from 1) to "RDD ALL".
    const auto replyFor = [&](int k) {
        QByteArray reply;
        const qsizetype kept = numbers.size() - late;
        for (qsizetype i = 0; i < kept; ++i) {
            const int n = numbers[i];
            QByteArray frame = dataFrame(n, {n, 1, 2, 3, 4});
            if (i == 1 && fault == QLatin1String("lost digit"))
                frame.remove(13, 1); // inside CNTR2
            else if (i == 1 && fault == QLatin1String("letter"))
                frame[19] = 'O';     // CNTR3's third digit
            else if (i == 1 && fault == QLatin1String("blank"))
                frame[12] = ' ';     // CNTR2's second digit
            else if (i == 1 && fault == QLatin1String("total's last"))
                frame[40] = 'O';     // position 41, the total's last digit
            else if (i == k - 1 && fault == QLatin1String("each reply differs"))
                frame[8] = char(frame[8] == '9' ? '8' : frame[8] + 1); // a digit garbled into another
            if (!(k == 1 && i == kept - 1 && fault == QLatin1String("first: last frame lost"))
                && !(k > 1 && i >= 3 && fault == QLatin1String("shorter read-backs")))
                reply += frame;
        }
        if (k > 1 && fault == QLatin1String("cut read-backs"))
            reply.chop(20);
        if (k > 1 && fault == QLatin1String("silent read-backs"))
            reply.clear();
        return reply;
    };
    QByteArray lateReply;
    for (qsizetype i = numbers.size() - late; i < numbers.size(); ++i)
        lateReply += dataFrame(numbers[i], {numbers[i], 1, 2, 3, 4});
    if (ack == QLatin1String("after"))
        lateReply += ackReply;
    else if (ack == QLatin1String("nak"))
        lateReply += nakReply;
    else if (ack == QLatin1String("command error"))
        lateReply += QByteArray("\x15X\r");
    QElapsedTimer sinceClear;

    int answered = 0;
    bool cleared = false;
    ReadoutSession *running = nullptr;
    QTimer talk;
    QObject::connect(&talk, &QTimer::timeout, [&] { pty.write("x"); });
    QSocketNotifier counter(pty.fd, QSocketNotifier::Read);
    QObject::connect(&counter, &QSocketNotifier::activated, [&] {
        const QByteArray &line = pty.line();
        while (answered < line.count(rddAll)) {
            pty.write(replyFor(++answered));
            if (fault == QLatin1String("file made meanwhile"))
                writeFile(options.output, earlier);
            if (fault == QLatin1String("signal before the read-back"))
                StopRequest::raise(SIGTERM); // as the handler does; the event loop's word comes later
            if (fault == QLatin1String("never quiet"))
                talk.start(50);
            if (unplug) {
                counter.setEnabled(false);
                pty.unplug();
                return;
            }
        }
        if (line.contains(clrAll) && !cleared) {
            cleared = true;
            sinceClear.start();
            // Another writer holds the store from the clear on.
            if (fault == QLatin1String("store locked after the clear") && locker.open())
                QSqlQuery(locker).exec(QStringLiteral("BEGIN EXCLUSIVE"));
            if (fault == QLatin1String("late sync fails"))
                setSyncHook([](SyncTarget what, const QString &) { return what != SyncTarget::File; });
            if (fault == QLatin1String("signal in the late file's sync"))
                setSyncHook([](SyncTarget, const QString &) { StopRequest::raise(SIGTERM); return true; });
            pty.write(lateReply);
            if (fault == QLatin1String("signal after CLR ALL"))
                QTimer::singleShot(400, running, [&] { running->interrupt(SIGTERM, QStringLiteral("SIGTERM")); });
        }
    });

    LineCommControl port;
    ReadoutSession session(port, options);
    running = &session;
    QStringList messages;
    QObject::connect(&session, &ReadoutSession::message, [&](const QString &m) { messages << m; });
    QSignalSpy finished(&session, &ReadoutSession::finished);
    session.start();
    const bool ended = !finished.isEmpty() || finished.wait(15000); // a refusal at the start ends at once
    talk.stop();
    setSyncHook(nullptr);
    StopRequest::reset();
    locker.close();
    locker = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("locker"));
    QVERIFY(ended);

    QCOMPARE(session.status(), status);
    QStringList files;
    if (folder) {
        files = QDir(options.outputDir).entryList(QDir::Files | QDir::Hidden);
        options.output = QDir(options.outputDir).filePath(files.value(0, QStringLiteral("none.csv")));
    } else {
        files = QDir(QFileInfo(options.output).path()).entryList(QDir::Files | QDir::Hidden);
    }
    // The read-out's file, and beside it the late records' file: nothing else. Saved
    // and not cleared where the stop or the late records' place came first.
    const bool notCleared =
        fault == QLatin1String("signal in the CSV's sync") || fault == QLatin1String("full at the late file");
    const bool storeOnly = options.noCsv;
    const bool saved = (status == 0 || late > 0 || ack != QLatin1String("after") || notCleared) && !storeOnly;
    const bool lateKept = late > 0 && fault != QLatin1String("late sync fails") && !storeOnly;
    QCOMPARE(files.size(), (saved || fault == QLatin1String("file made meanwhile") ? 1 : 0) + (lateKept ? 1 : 0));
    QString lateFile = options.output;
    lateFile.replace(QLatin1String(".csv"), QLatin1String(".late.csv"));
    says.replace(QLatin1String("%1"), options.device).replace(QLatin1String("%2"), options.output);
    says.replace(QLatin1String("%3"), lateFile);
    if (options.store)
        says.replace(QLatin1String("%4"), options.store->text);
    QVERIFY2(messages.join('\n').contains(says), qPrintable(messages.join('\n')));
    // Saved and cleared only when whole and read alike; late records in a file of their own.
    if (fault == QLatin1String("file made meanwhile"))
        QCOMPARE(fileBytes(options.output), earlier);
    else
        QCOMPARE(QFile::exists(options.output), saved);
    if (saved) {
        const QByteArray csv = fileBytes(options.output);
        QCOMPARE(csv.count("\r\n"), qsizetype(numbers.size() - late));
        const int last = numbers[numbers.size() - late - 1];
        QVERIFY(csv.endsWith(QStringLiteral("\"%1\",\"%1\",\"1\",\"2\",\"3\",\"4\",\"%2\"\r\n")
                                 .arg(last).arg(last + 10).toLatin1()));
    }
    if (lateKept) {
        const QByteArray csv = fileBytes(lateFile);
        QCOMPARE(csv.count("\r\n"), qsizetype(late));
        QVERIFY(csv.endsWith(QStringLiteral("\"%1\",\"%1\",\"1\",\"2\",\"3\",\"4\",\"%2\"\r\n")
                                 .arg(numbers.last()).arg(numbers.last() + 10).toLatin1()));
    }
    if (!unplug)
        QCOMPARE(pty.line().contains(clrAll), (saved && !notCleared) || storeOnly);
    if (fault == QLatin1String("signal before the read-back"))
        QCOMPARE(pty.line().count(rddAll), 1);
    if (ack == QLatin1String("nak") || ack == QLatin1String("command error"))
        QVERIFY2(sinceClear.elapsed() < options.timeoutMs / 2, qPrintable(QString::number(sinceClear.elapsed())));
    QVERIFY(!port.portOpen());
}

void TestCollect::throughDeviceServer_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("read-out as over the serial line") << "same bytes";
    QTest::newRow("server stopped mid-reply") << "stopped";
    QTest::newRow("a new file per run in a folder, then cleared") << "folder";
}

// Through the real device server: the read-out gives the serial line's bytes, and a
// server that goes away mid-reply is a lost line.
void TestCollect::throughDeviceServer()
{
    QFETCH(QString, how);
    if (Ser2net::program().isEmpty())
        QSKIP("ser2net is not installed (scripts/test installs it)");
    QTemporaryDir dir;
    Sim sim;
    const QString link = dir.filePath("COM1");
    QVERIFY(sim.start(link, how == QLatin1String("stopped") ? QStringList{"--records", "100"}
                                                            : QStringList{"--fast"}));
    Ser2net server;
    QVERIFY2(server.start(dir, link), server.process.readAllStandardError().constData());
    const QString file = dir.filePath("records.csv");

    if (how == QLatin1String("same bytes")) {
        Run r = collect({"--port", server.address(), "--output", file, "--quiet", "200"});
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY2(r.err.contains("36 records from " + server.address().toUtf8() + " written to"), r.err.constData());
        const QByteArray network = fileBytes(file);
        server.stop(); // the device is the direct line's again
        const QString direct = dir.filePath("direct.csv");
        r = collect({"--port", link, "--output", direct, "--quiet", "200"});
        QCOMPARE(r.status, 0);
        QCOMPARE(network, fileBytes(direct));
        int records = 0;
        QCOMPARE(network, windowCsv(sim.device, rddAll, &records));
        QCOMPARE(records, 36);
        return;
    }
    if (how == QLatin1String("folder")) {
        int records = 0;
        const QByteArray expected = windowCsv(sim.device, rddAll, &records);
        QCOMPARE(records, 36);
        const QString folder = dir.filePath("records");
        QVERIFY(QDir(dir.path()).mkdir("records"));
        const QStringList args{"--port", server.address(), "--output-dir", folder, "--clear", "--quiet", "200"};
        Run r = collect(args);
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY2(r.err.contains("its records are cleared"), r.err.constData());
        QVERIFY(sim.log().contains("CLR ALL"));
        QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(files.size(), 1);
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d_\\d{6}\\.csv$").match(files[0]).hasMatch(),
                 qPrintable(files[0]));
        QVERIFY2(r.err.contains(QFile::encodeName(QDir(folder).filePath(files[0]))), r.err.constData());
        QCOMPARE(fileBytes(QDir(folder).filePath(files[0])), expected);
        // The next run, in the same second or not, gets a file of its own.
        r = collect(args + QStringList{"--timeout", "1"});
        QCOMPARE(r.status, 5);
        files = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(files.size(), 2);
        QCOMPARE(fileBytes(QDir(folder).filePath(files[0])), expected);
        QCOMPARE(fileBytes(QDir(folder).filePath(files[1])), QByteArray());
        return;
    }

    // The counter paced at 9600 baud takes over 4 s for 100 records: the server is
    // stopped once the request has reached it and the reply is under way.
    QProcess collector;
    collector.setProcessEnvironment(headless());
    collector.start(QStringLiteral(QZ_COLLECT_PATH), {"--port", server.address(), "--output", file, "--clear"});
    QByteArray log;
    QDeadlineTimer patience(10000);
    while (!log.contains("RDD ALL") && !patience.hasExpired())
        log += sim.log();
    QVERIFY2(log.contains("RDD ALL"), log.constData());
    QTest::qWait(500);
    server.stop();
    QVERIFY(collector.waitForFinished(30000));
    const QByteArray err = collector.readAllStandardError();
    QCOMPARE(collector.exitCode(), 3);
    QVERIFY2(err.contains("the port closed during the read-out"), err.constData());
    QVERIFY2(err.contains("the device server at 127.0.0.1 port " + QByteArray::number(server.port)
                          + " ended the connection"),
             err.constData());
    QVERIFY2(err.contains("; the counter was not cleared"), err.constData());
    QVERIFY(!QFile::exists(file));
    QTest::qWait(200);
    log += sim.log();
    QVERIFY2(!log.contains("CLR ALL"), log.constData());
}

void TestCollect::newFileInFolder_data()
{
    QTest::addColumn<QStringList>("taken");
    QTest::addColumn<QString>("written");
    QTest::newRow("free") << QStringList{} << "2026-03-09_070502.csv";
    QTest::newRow("first name taken") << QStringList{"2026-03-09_070502.csv"} << "2026-03-09_070502_2.csv";
    QTest::newRow("first two taken, by a folder too")
        << QStringList{"2026-03-09_070502.csv", "2026-03-09_070502_2.csv/"} << "2026-03-09_070502_3.csv";
    QTest::newRow("every name taken") << QStringList{"*"} << "";
}

// Names by the run's start, never an existing one; nothing taken is touched.
void TestCollect::newFileInFolder()
{
    QFETCH(QStringList, taken);
    QFETCH(QString, written);
    QTemporaryDir dir;
    const QDateTime started(QDate(2026, 3, 9), QTime(7, 5, 2));
    if (taken == QStringList{"*"}) {
        for (int attempt = 1; attempt <= MaxOutputAttempts; ++attempt)
            taken << outputFileName(started, attempt);
    }
    for (const QString &name : std::as_const(taken)) {
        if (name.endsWith('/'))
            QVERIFY(QDir(dir.path()).mkdir(name.chopped(1)));
        else
            QVERIFY(writeFile(dir.filePath(name), earlier));
    }

    QString path, reason;
    const bool ok = writeNewFile(dir.path(), started, "new\r\n", &path, &reason);
    QCOMPARE(ok, !written.isEmpty());
    if (ok) {
        QCOMPARE(path, dir.filePath(written));
        QCOMPARE(fileBytes(path), QByteArray("new\r\n"));
    } else {
        QCOMPARE(reason, QStringLiteral("2026-03-09_070502.csv to 2026-03-09_070502_999.csv are all taken"));
    }
    for (const QString &name : std::as_const(taken)) {
        if (!name.endsWith('/'))
            QCOMPARE(fileBytes(dir.filePath(name)), earlier);
    }
    // No temporary file is left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(),
             taken.size() + (ok ? 1 : 0));
}

// Every single fault of one kind, at every place, in one reply of a 36-record
// read-out with --clear: the first reply (the others clean, as after a moment's
// noise), the read-back, the third reply (the first garbled elsewhere, so a third is
// asked for), or two different faults in two replies; and read-backs alike but
// shorter than the first. The line is scripted: a pause longer than --quiet ends a
// reply; the counter answers a request after what it is still sending, without a
// pause. The judge decides; the counter is cleared only when what would be saved is
// the pristine read-out.
void TestCollect::singleFaultSweep_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("where");   // "first", "read-back", "third", "two"
    QTest::addColumn<QString>("cleared"); // "none", or "some" (the read-back proves them)
    QTest::newRow("a byte deleted") << "delete" << "first" << "none";
    for (const char *what : {"STX", "CR", "ACK", "NAK", "NUL"})
        QTest::newRow(qPrintable(QStringLiteral("%1 inserted").arg(QLatin1String(what)))) << QString::fromLatin1(what) << "first" << "none";
    // Inside the total or just before the CR: a 43-character frame whose fields are
    // all digits.
    for (const char *what : {"letter", "blank", "digit"})
        QTest::newRow(qPrintable(QStringLiteral("%1 inserted").arg(QLatin1String(what)))) << QString::fromLatin1(what) << "first" << "some";
    QTest::newRow("a byte turned into a non-digit") << "non-digit" << "first" << "some";
    QTest::newRow("a byte turned into another digit") << "other digit" << "first" << "some";
    QTest::newRow("a frame dropped") << "drop" << "first" << "some";   // the last one: nothing in one reply shows it
    QTest::newRow("a frame doubled") << "double" << "first" << "none";
    QTest::newRow("a frame swapped with the next") << "swap" << "first" << "none";
    QTest::newRow("a pause longer than --quiet") << "pause" << "first" << "none";
    QTest::newRow("two pauses longer than --quiet") << "pauses" << "first" << "none";
    for (const char *where : {"read-back", "third", "two"}) {
        for (const char *fault : {"delete", "STX", "digit", "other digit", "drop", "double", "pause"})
            QTest::addRow("%s: %s", where, fault) << fault << where << "none";
    }
    QTest::newRow("read-backs alike and shorter than the first") << "shorter" << "read-back" << "none";
}

void TestCollect::singleFaultSweep()
{
    QFETCH(QString, fault);
    QFETCH(QString, where);
    QFETCH(QString, cleared);
    QList<QByteArray> frames;
    for (int n = 1; n <= 36; ++n)
        frames << dataFrame(n, {n * 7 % 100000, n * 1031 % 100000, 99999 - n, n * n, 12345});
    const QByteArray pristine = frames.join();
    const QByteArray pristineCsv = csvOfReply(pristine);

    // Each case: the faulted reply's bytes, in the pieces the pauses make.
    QList<QList<QByteArray>> cases;
    const auto offset = [&](int frame) { return qsizetype(frame) * 42; };
    const QMap<QString, QByteArray> inserted{{"STX", "\x02"}, {"CR", "\r"},    {"ACK", "\x06"},
                                             {"NAK", "\x15"}, {"letter", "A"}, {"blank", " "},
                                             {"NUL", QByteArray(1, '\0')},     {"digit", "7"}};
    const QByteArray inserts = inserted.value(fault);
    for (int f : {0, 1, 17, 34, 35}) {
        for (qsizetype p = offset(f); p < offset(f + 1); ++p) {
            QByteArray bytes = pristine;
            if (fault == "delete")
                bytes.remove(p, 1);
            else if (!inserts.isEmpty())
                bytes.insert(p, inserts);
            else if (fault == "non-digit")
                bytes[p] = bytes[p] == 'x' ? 'y' : 'x';
            else if (fault == "other digit")
                bytes[p] = bytes[p] == '3' ? '8' : '3';
            else if (fault == "pause" && p > 0) // a pause before the first byte is no pause
                cases << QList<QByteArray>{pristine.left(p), pristine.mid(p)};
            else if (fault == "shorter" && p > 0)
                cases << QList<QByteArray>{pristine.left(p)};
            else
                continue;
            if (fault != "pause" && fault != "shorter")
                cases << QList<QByteArray>{bytes};
        }
    }
    for (int f = 0; f < 36; ++f) {
        QList<QByteArray> changed = frames;
        if (fault == "drop")
            changed.removeAt(f);
        else if (fault == "double")
            changed.insert(f, frames[f]);
        else if (fault == "swap" && f < 35)
            changed.swapItemsAt(f, f + 1);
        else if (fault == "pauses") {
            for (int g = f + 1; g < 36; ++g)
                cases << QList<QByteArray>{pristine.left(offset(f)), pristine.mid(offset(f), offset(g) - offset(f)),
                                           pristine.mid(offset(g))};
            continue;
        } else
            continue;
        cases << QList<QByteArray>{changed.join()};
    }
    QVERIFY(cases.size() > 30);
    // A first reply sound but unlike the rest: a digit of record 10 garbled into another.
    QByteArray other = pristine;
    other[offset(9) + 7] = other[offset(9) + 7] == '3' ? '8' : '3';

    int clears = 0;
    for (const QList<QByteArray> &faulted : std::as_const(cases)) {
        // What the counter sends for requests 1, 2 and 3.
        QList<QList<QByteArray>> responses{{pristine}, {pristine}, {pristine}};
        if (where == "first")
            responses[0] = faulted;
        else if (where == "read-back")
            responses[1] = responses[2] = fault == "shorter" ? faulted : QList<QByteArray>{pristine};
        if (where == "read-back" && fault != "shorter")
            responses[1] = faulted;
        if (where == "third" || where == "two")
            responses[0] = {other};
        if (where == "third")
            responses[2] = faulted;
        if (where == "two")
            responses[1] = faulted;
        // Pieces still to come on the line, each ended by a pause or by the end of a reply.
        QList<QByteArray> line = responses[0];
        line.removeAll(QByteArray());
        QList<Reply> replies;
        ReadoutDecision decision;
        for (;;) {
            const QByteArray bytes = line.isEmpty() ? QByteArray() : line.takeFirst();
            replies << Reply{bytes, bytes.isEmpty() ? ReplyEnd::Silence : ReplyEnd::Quiet};
            decision = decideReadout(replies, false, true);
            if (decision.action != ReadoutDecision::Action::AskAgain)
                break;
            const QList<QByteArray> next = responses.value(replies.size(), {pristine});
            if (line.isEmpty()) {
                line = next;
            } else {
                line.last() += next.first();
                line += next.mid(1);
            }
        }
        const QString at = QStringLiteral("%1 replies; faulted: %2").arg(replies.size()).arg(QString::fromLatin1(
            faulted.join("|").toPercentEncoding(" |")));
        QVERIFY2(replies.size() <= 3, qPrintable(at));
        if (decision.action != ReadoutDecision::Action::Save)
            continue;
        // Cleared: what is saved is the pristine read-out, and nothing of it is left
        // on the line to come after CLR ALL.
        ++clears;
        QVERIFY2(csvOfReply(replies[decision.agreed].bytes) == pristineCsv, qPrintable(at));
        QVERIFY2(line.isEmpty(), qPrintable(at));
    }
    if (cleared == QLatin1String("none"))
        QCOMPARE(clears, 0);
    else
        QVERIFY(clears > 0);
}

// A silent counter leaves an empty --output; two runs at once then both find it
// empty. Each rename takes a second here (a slow disk), so the second run checks
// while the first is committing: the first one's file must stay, and only the first
// counter is cleared.
void TestCollect::twoRunsOnOneEmptyFile()
{
    QTemporaryDir dir;
    Sim first, second;
    QVERIFY(first.start(dir.filePath("COM1"), {"--fast"}));
    QVERIFY(second.start(dir.filePath("COM2"), {"--fast", "--records", "5"}));
    const QString file = dir.filePath("records.csv");
    QVERIFY(writeFile(file, QByteArray()));
    QProcessEnvironment env = failingSync(QString());
    env.insert("QZ_SLOW_RENAME", "1000");
    QProcess runs[2];
    for (int k = 0; k < 2; ++k) {
        runs[k].setProcessEnvironment(env);
        runs[k].start(QStringLiteral(QZ_COLLECT_PATH), {"--port", dir.filePath(k == 0 ? "COM1" : "COM2"), "--output",
                                                        file, "--clear", "--quiet", "100"});
    }
    for (QProcess &run : runs)
        QVERIFY(run.waitForFinished(30000));
    const QList<int> statuses{runs[0].exitCode(), runs[1].exitCode()};
    const QByteArray errs[2] = {runs[0].readAllStandardError(), runs[1].readAllStandardError()};
    QVERIFY2(statuses.contains(0) && statuses.contains(4), (errs[0] + errs[1]).constData());
    const int won = statuses.indexOf(0);
    const QByteArray &lost = errs[1 - won];
    QVERIFY2(lost.contains("the file was made by someone else while the counter was read (--overwrite replaces it); "
                           "the counter was not cleared"),
             lost.constData());
    QCOMPARE(fileBytes(file).count("\r\n"), won == 0 ? 36 : 5);
    QVERIFY((won == 0 ? first : second).log().contains("CLR ALL"));
    QVERIFY(!(won == 0 ? second : first).log().contains("CLR ALL"));
}

QTEST_GUILESS_MAIN(TestCollect)
#include "test_collect.moc"
