// qz7310-collect against the simulator on pseudo-terminals: the program run as its own
// process (no display in its environment) where the exit status matters, and the
// read-out session in-process where the test plays the counter itself.
#include "output_dir.h"
#include "readout_judge.h"
#include "readout_session.h"
#include "csv/csv_writer.h"
#include "line/line_comm_control.h"
#include "line/serial_comm_control.h"
#include "collect_support.h"
#include "test_support.h"

#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
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
    if (target == QLatin1String("signal")) {
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
    else if (target == QLatin1String("folder sync"))
        QCOMPARE(fileBytes(output).count("\r\n"), 36); // renamed into place whole, not known to be on disk
    else
        QCOMPARE(fileBytes(output), earlier);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::NoSymLinks), QStringList{"records.csv"}); // no temporary left
    const QByteArray log = sim.log();
    QVERIFY2(!log.contains("CLR ALL"), log.constData());
    // A target that cannot be used is found before the counter is asked anything.
    if (target == QLatin1String("kept file") || target == QLatin1String("folder") || target == QLatin1String("missing"))
        QVERIFY2(!log.contains("received"), log.constData());
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
        << "2 frames arrived after CLR ALL was sent: the counter paused longer than --quiet (200 ms) within its "
           "reply, so the read-out had ended early; raise --quiet above the counter's pauses\n"
           "2 late records written to %3; %2 holds the 2 records read before\n"
           "the counter confirmed CLR ALL (\"COMMAND OK!\"): its records are cleared" << false;
    QTest::newRow("records still coming when CLR ALL goes out, no answer")
        << three << false << "" << 1 << "none" << 3
        << "1 late record written to %3; %2 holds the 2 records read before\nthe counter did not confirm CLR ALL "
           "with ACK (\"COMMAND OK!\"): it sent 1 data frame (\"COMMAND OK !\") and then nothing for 1 s; its "
           "records may still be there" << false;
    // SIGTERM while the answer to CLR ALL is awaited: the saved file stays, the late
    // record is kept, and the line says the clear is not known to have happened.
    QTest::newRow("stopped by SIGTERM after CLR ALL")
        << three << false << "signal after CLR ALL" << 1 << "none" << 128 + SIGTERM
        << "1 late record written to %3; %2 holds the 2 records read before\nstopped by SIGTERM after CLR ALL was "
           "sent: the records are saved in %2; the counter's answer had not come, so its records may still be there"
        << false;
    QTest::newRow("CLR ALL refused")
        << three << false << "" << 0 << "nak" << 3
        << "the counter refused CLR ALL (1 NAK reply (\"ERROR...\", the counter refused the command)): its records "
           "are still there, and the CSV is saved" << false;
    QTest::newRow("into a folder: records still coming when CLR ALL goes out, then the ACK")
        << QList<int>{1, 2, 3, 4} << false << "" << 2 << "after" << 3
        << "2 late records written to %3; %2 holds the 2 records read before\n"
           "the counter confirmed CLR ALL (\"COMMAND OK!\"): its records are cleared"
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
    options.timeoutMs = 1000;
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
            if (!(k == 1 && i == kept - 1 && fault == QLatin1String("first: last frame lost")))
                reply += frame;
        }
        return reply;
    };
    QByteArray lateReply;
    for (qsizetype i = numbers.size() - late; i < numbers.size(); ++i)
        lateReply += dataFrame(numbers[i], {numbers[i], 1, 2, 3, 4});
    if (ack == QLatin1String("after"))
        lateReply += ackReply;
    else if (ack == QLatin1String("nak"))
        lateReply += nakReply;

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
    QVERIFY(finished.wait(15000));
    talk.stop();

    QCOMPARE(session.status(), status);
    QStringList files;
    if (folder) {
        files = QDir(options.outputDir).entryList(QDir::Files | QDir::Hidden);
        options.output = QDir(options.outputDir).filePath(files.value(0, QStringLiteral("none.csv")));
    } else {
        files = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    }
    // The read-out's file, and beside it the late records' file: nothing else.
    const bool saved = status == 0 || late > 0 || ack != QLatin1String("after");
    QCOMPARE(files.size(), (saved || fault == QLatin1String("file made meanwhile") ? 1 : 0) + (late > 0 ? 1 : 0));
    QString lateFile = options.output;
    lateFile.replace(QLatin1String(".csv"), QLatin1String(".late.csv"));
    says.replace(QLatin1String("%1"), options.device).replace(QLatin1String("%2"), options.output);
    says.replace(QLatin1String("%3"), lateFile);
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
    if (late > 0) {
        const QByteArray csv = fileBytes(lateFile);
        QCOMPARE(csv.count("\r\n"), qsizetype(late));
        QVERIFY(csv.endsWith(QStringLiteral("\"%1\",\"%1\",\"1\",\"2\",\"3\",\"4\",\"%2\"\r\n")
                                 .arg(numbers.last()).arg(numbers.last() + 10).toLatin1()));
    }
    if (!unplug)
        QCOMPARE(pty.line().contains(clrAll), saved);
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

// Every single fault of one kind, at every place, in the first reply of a 36-record
// read-out with --clear; the read-back gets the clean reply, as after a moment's noise.
// The line is scripted: a pause longer than --quiet ends a reply; the counter answers
// a request after what it is still sending, without a pause. The judge decides; the
// counter is cleared only when what would be saved is the pristine read-out.
void TestCollect::singleFaultSweep_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("cleared"); // "none", or "some" (the read-back proves them)
    QTest::newRow("a byte deleted") << "delete" << "none";
    for (const char *what : {"STX", "CR", "ACK", "NAK", "NUL"})
        QTest::newRow(qPrintable(QStringLiteral("%1 inserted").arg(QLatin1String(what)))) << QString::fromLatin1(what) << "none";
    // Inside the total or just before the CR: a 43-character frame whose fields are
    // all digits.
    for (const char *what : {"letter", "blank", "digit"})
        QTest::newRow(qPrintable(QStringLiteral("%1 inserted").arg(QLatin1String(what)))) << QString::fromLatin1(what) << "some";
    QTest::newRow("a byte turned into a non-digit") << "non-digit" << "some";
    QTest::newRow("a byte turned into another digit") << "other digit" << "some";
    QTest::newRow("a frame dropped") << "drop" << "some";   // the last one: nothing in one reply shows it
    QTest::newRow("a frame doubled") << "double" << "none";
    QTest::newRow("a frame swapped with the next") << "swap" << "none";
    QTest::newRow("a pause longer than --quiet") << "pause" << "none";
    QTest::newRow("two pauses longer than --quiet") << "pauses" << "none";
}

void TestCollect::singleFaultSweep()
{
    QFETCH(QString, fault);
    QFETCH(QString, cleared);
    QList<QByteArray> frames;
    for (int n = 1; n <= 36; ++n)
        frames << dataFrame(n, {n * 7 % 100000, n * 1031 % 100000, 99999 - n, n * n, 12345});
    const QByteArray pristine = frames.join();
    const QByteArray pristineCsv = csvOfReply(pristine);

    // Each case: the first reply's bytes, in the pieces the pauses make.
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
            else
                continue;
            if (fault != "pause")
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

    int clears = 0;
    for (const QList<QByteArray> &firstReply : std::as_const(cases)) {
        // Pieces still to come on the line, each ended by a pause or by the end of a reply.
        QList<QByteArray> line = firstReply;
        line.removeAll(QByteArray());
        QList<Reply> replies;
        ReadoutDecision decision;
        for (;;) {
            const QByteArray bytes = line.isEmpty() ? QByteArray() : line.takeFirst();
            replies << Reply{bytes, bytes.isEmpty() ? ReplyEnd::Silence : ReplyEnd::Quiet};
            decision = decideReadout(replies, false, true);
            if (decision.action != ReadoutDecision::Action::AskAgain)
                break;
            if (line.isEmpty())
                line << pristine;
            else
                line.last() += pristine;
        }
        const QString where = QStringLiteral("%1 replies; first: %2").arg(replies.size()).arg(QString::fromLatin1(
            firstReply.join("|").toPercentEncoding(" |")));
        QVERIFY2(replies.size() <= 3, qPrintable(where));
        if (decision.action != ReadoutDecision::Action::Save)
            continue;
        // Cleared: what is saved is the pristine read-out, and nothing of it is left
        // on the line to come after CLR ALL.
        ++clears;
        QVERIFY2(csvOfReply(replies[decision.agreed].bytes) == pristineCsv, qPrintable(where));
        QVERIFY2(line.isEmpty(), qPrintable(where));
    }
    if (cleared == QLatin1String("none"))
        QCOMPARE(clears, 0);
    else
        QVERIFY(clears > 0);
}

QTEST_GUILESS_MAIN(TestCollect)
#include "test_collect.moc"
