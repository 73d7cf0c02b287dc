// The counter simulator, driven as a client would: a real process on a real
// pseudo-terminal, checked byte for byte.
#include "test_support.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <signal.h>
#include <sys/stat.h>

namespace {

constexpr int kFrame = 42;

// The simulator process; stopped by closing its standard input.
struct Sim {
    QProcess process;
    QString device;

    bool start(const QStringList& args, bool nullStdin = false)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (nullStdin)
            process.setStandardInputFile(QProcess::nullDevice());
        process.start(QStringLiteral(QZ_SIM_PATH), args);
        if (!process.waitForStarted(10000))
            return false;
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(10000))
                return false;
        }
        device = QString::fromLocal8Bit(process.readLine()).trimmed();
        return device.startsWith(QLatin1String("/dev/"));
    }

    bool finish(int* exitCode)
    {
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(10000))
            return false;
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return true;
    }

    ~Sim()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.closeWriteChannel();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

QString frameProblem(const QByteArray& f, int number)
{
    if (f.size() != kFrame)
        return QStringLiteral("length %1").arg(f.size());
    if (f[0] != '\x02' || f[1] != 'D' || f[41] != '\r')
        return QStringLiteral("STX, D or CR misplaced");
    if (f.mid(2, 2) != QByteArray::number(number % 100).rightJustified(2, '0'))
        return QStringLiteral("record number %1, expected %2").arg(QString::fromLatin1(f.mid(2, 2))).arg(number);
    auto digits = [&](int at, int length, int* value) {
        QByteArray field = f.mid(at, length);
        for (char c : field)
            if (c < '0' || c > '9')
                return false;
        *value = field.toInt();
        return true;
    };
    int sum = 0;
    for (int i = 0; i < 5; ++i) {
        int value = 0;
        if (f[4 + 6 * i] != ' ' || !digits(5 + 6 * i, 5, &value))
            return QStringLiteral("CNTR%1 field").arg(i + 1);
        sum += value;
    }
    int total = 0;
    if (f[34] != ' ' || !digits(35, 6, &total))
        return QStringLiteral("TOTAL field");
    if (total != sum)
        return QStringLiteral("TOTAL %1, counters sum to %2").arg(total).arg(sum);
    return {};
}

// A reply of `size` bytes and whatever follows it: read by its length, however long a
// loaded machine keeps the simulator from answering, then until the line is quiet.
QByteArray reply(RawLine& port, qsizetype size)
{
    const QByteArray expected = port.read(size);
    return expected + port.drain();
}

// RDD ALL of a clean --fast simulator: the reference the faults are measured against.
QByteArray cleanRecords(const QStringList& args, int records)
{
    Sim sim;
    RawLine port;
    if (!sim.start(args + QStringList{"--fast"}) || !port.open(sim.device) || !port.write(rddAll))
        return "failed";
    return reply(port, records * kFrame);
}

bool isLead(char c) { return c == '\x02' || c == '\x06' || c == '\x15'; }

bool lstatExists(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

}  // namespace

#define START(sim, ...) QVERIFY2((sim).start(__VA_ARGS__), "simulator did not start")
#define OPEN(port, path) QVERIFY2((port).open(path), qPrintable(QStringLiteral("cannot open ") + (path)))
#define CONNECT(sim, port, ...) START(sim, __VA_ARGS__); OPEN(port, (sim).device)

class TestSim : public QObject {
    Q_OBJECT

private slots:
    void readAll_data();
    void readAll();
    void recordsFollowTheSeed();
    void readNow();
    void clearAll();
    void commands_data();
    void commands();
    void garbage();
    void loseCr_data();
    void loseCr();
    void nak();
    void stopAfter_data();
    void stopAfter();
    void pacing();
    void reopen_data();
    void reopen();
    void stopping_data();
    void stopping();
    void linkReplacesOnlyLinks();
    void usage_data();
    void usage();
};

void TestSim::readAll_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("records");
    QTest::newRow("3 records") << QStringList{"--records", "3"} << 3;
    QTest::newRow("none") << QStringList{"--records=0"} << 0;
    QTest::newRow("default") << QStringList{} << 36;
    QTest::newRow("100, the last numbered 00") << QStringList{"--records", "100", "--seed", "99"} << 100;
}

void TestSim::readAll()
{
    QFETCH(QStringList, args);
    QFETCH(int, records);
    Sim sim;
    RawLine port;
    CONNECT(sim, port, args + QStringList{"--fast"});
    QVERIFY(port.write(rddAll));
    QByteArray reply = port.read(records * kFrame);
    QCOMPARE(reply.size(), records * kFrame);
    for (int i = 0; i < records; ++i) {
        QString problem = frameProblem(reply.mid(i * kFrame, kFrame), i + 1);
        QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("record %1: ").arg(i + 1) + problem));
    }
    QCOMPARE(port.drain(), QByteArray());
    // Asked again, the same records again.
    QVERIFY(port.write(rddAll));
    QCOMPARE(port.read(records * kFrame), reply);
}

void TestSim::recordsFollowTheSeed()
{
    QByteArray first = cleanRecords({"--records", "5", "--seed", "42"}, 5);
    QCOMPARE(first.size(), 5 * kFrame);
    QCOMPARE(cleanRecords({"--records", "5", "--seed", "42"}, 5), first);
    QByteArray other = cleanRecords({"--records", "5", "--seed", "43"}, 5);
    QCOMPARE(other.size(), 5 * kFrame);
    QVERIFY(other != first);
    // Without --seed, a fixed default.
    QCOMPARE(cleanRecords({"--records", "5"}, 5), cleanRecords({"--records", "5"}, 5));
}

void TestSim::readNow()
{
    Sim sim;
    RawLine port;
    CONNECT(sim, port, {"--fast", "--records", "3"});
    QVERIFY(port.write(rddNow));
    QByteArray first = port.read(kFrame);
    QCOMPARE(frameProblem(first, 0), QString());
    QCOMPARE(port.drain(), QByteArray());
    // The counts move on as time passes.
    QThread::msleep(1100);
    QVERIFY(port.write(rddNow));
    QByteArray later = port.read(kFrame);
    QCOMPARE(frameProblem(later, 0), QString());
    QVERIFY2(later != first, later.constData());
}

void TestSim::clearAll()
{
    Sim sim;
    RawLine port;
    CONNECT(sim, port, {"--fast", "--records", "3"});
    QVERIFY(port.write(rddAll));
    QCOMPARE(port.read(3 * kFrame).size(), 3 * kFrame);
    QVERIFY(port.write(clrAll));
    QCOMPARE(port.drain(), ackReply);
    QVERIFY(port.write(rddAll));
    QCOMPARE(port.drain(), QByteArray());
    // Clearing the records leaves the current counts alone; clearing again still answers.
    QVERIFY(port.write(rddNow));
    QCOMPARE(frameProblem(port.read(kFrame), 0), QString());
    QVERIFY(port.write(clrAll));
    QCOMPARE(port.drain(), ackReply);
}

void TestSim::commands_data()
{
    // What goes in, and the replies expected, one letter each:
    // R record 1 and 2 of RDD ALL, N an RDD NOW frame, K STX NAK CR, A ACK CR.
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("replies");
    QTest::newRow("unknown word") << QByteArray("\x02XYZ ALL\x03\r") << "K";
    QTest::newRow("unknown operand") << QByteArray("\x02RDD XYZ\x03\r") << "K";
    QTest::newRow("lower case") << QByteArray("\x02rdd all\x03\r") << "K";
    QTest::newRow("no ETX") << QByteArray("\x02RDD ALL\r") << "K";
    QTest::newRow("byte too many") << QByteArray("\x02RDD  ALL\x03\r") << "K";
    QTest::newRow("bare STX CR") << QByteArray("\x02\r") << "K";
    QTest::newRow("far too long") << QByteArray("\x02") + QByteArray(5000, 'A') + "\x03\r" << "K";
    QTest::newRow("junk alone") << QByteArray("hello\x03\x06\x15\r\r") << "";
    QTest::newRow("junk, then a command") << QByteArray("zz\r\x03\x02RDD NOW\x03\r") << "N";
    QTest::newRow("STX starts afresh") << QByteArray("\x02RD\x02RDD NOW\x03\r") << "N";
    QTest::newRow("three in one go") << rddAll + QByteArray("\x02?\r") + clrAll << "RKA";
    QTest::newRow("cleared, then read") << clrAll + rddAll + rddNow << "AN";
}

void TestSim::commands()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, replies);
    Sim sim;
    RawLine port;
    CONNECT(sim, port, {"--fast", "--records", "2"});
    QVERIFY(port.write(input));
    QByteArray got = port.drain();
    int at = 0;
    for (QChar kind : replies) {
        if (kind == 'K' || kind == 'A') {
            const QByteArray& expected = kind == 'K' ? nakReply : ackReply;
            QCOMPARE(got.mid(at, expected.size()), expected);
            at += expected.size();
        } else {
            int frames = kind == 'R' ? 2 : 1;
            for (int i = 0; i < frames; ++i, at += kFrame)
                QCOMPARE(frameProblem(got.mid(at, kFrame), kind == 'R' ? i + 1 : 0), QString());
        }
    }
    QCOMPARE(got.size(), at);
}

void TestSim::garbage()
{
    const QStringList args{"--records", "3", "--seed", "5"};
    const QByteArray clean = cleanRecords(args, 3);
    QCOMPARE(clean.size(), 3 * kFrame);
    Sim sim;
    RawLine port;
    CONNECT(sim, port, args + QStringList{"--fast", "--garbage"});

    // Junk ahead of every frame: never a lead character, and the frames intact.
    auto check = [](const QByteArray& got, const QList<QByteArray>& frames) {
        int at = 0;
        for (const QByteArray& frame : frames) {
            int lead = got.indexOf(frame.at(0), at);
            if (lead <= at)
                return QStringLiteral("no junk before byte %1").arg(at);
            for (int i = at; i < lead; ++i)
                if (isLead(got[i]))
                    return QStringLiteral("lead character in junk at %1").arg(i);
            if (got.mid(lead, frame.size()) != frame)
                return QStringLiteral("frame at %1 damaged").arg(lead);
            at = lead + frame.size();
        }
        return at == got.size() ? QString() : QStringLiteral("trailing bytes");
    };
    QVERIFY(port.write(rddAll));
    QCOMPARE(check(port.drain(), {clean.mid(0, kFrame), clean.mid(kFrame, kFrame), clean.mid(2 * kFrame)}), QString());
    QVERIFY(port.write("\x02NOT ONE\x03\r"));
    QCOMPARE(check(port.drain(), {nakReply}), QString());
    QVERIFY(port.write(clrAll));
    QCOMPARE(check(port.drain(), {ackReply}), QString());
}

void TestSim::loseCr_data()
{
    QTest::addColumn<int>("k");
    QTest::newRow("first") << 1;
    QTest::newRow("second") << 2;
    QTest::newRow("last") << 3;
    QTest::newRow("past the last") << 4;
}

void TestSim::loseCr()
{
    QFETCH(int, k);
    const QStringList args{"--records", "3", "--seed", "11"};
    QByteArray expected = cleanRecords(args, 3);
    QCOMPARE(expected.size(), 3 * kFrame);
    if (k <= 3)
        expected.remove(k * kFrame - 1, 1);
    Sim sim;
    RawLine port;
    CONNECT(sim, port, args + QStringList{"--fast", "--lose-cr", QString::number(k)});
    // Each reply read by its length: a quiet time alone would also end at a simulator
    // that has not started answering yet.
    QVERIFY(port.write(rddAll));
    QCOMPARE(reply(port, expected.size()), expected);
    // Counted afresh in every reply: a one-frame reply loses its CR only for k = 1.
    QVERIFY(port.write(rddNow));
    QByteArray now = reply(port, k == 1 ? kFrame - 1 : kFrame);
    if (k == 1) {
        QCOMPARE(now.size(), kFrame - 1);
        QCOMPARE(frameProblem(now + '\r', 0), QString());
    } else {
        QCOMPARE(frameProblem(now, 0), QString());
    }
    QVERIFY(port.write(clrAll));
    QCOMPARE(reply(port, k == 1 ? 1 : 2), k == 1 ? QByteArray("\x06") : ackReply);
}

void TestSim::nak()
{
    Sim sim;
    RawLine port;
    CONNECT(sim, port, {"--fast", "--records", "3", "--nak"});
    for (const QByteArray& command : {rddAll, rddNow, clrAll, QByteArray("\x02XYZ ABC\x03\r")}) {
        QVERIFY(port.write(command));
        QCOMPARE(port.drain(), nakReply);
    }
    QVERIFY(port.write("junk\r"));
    QCOMPARE(port.drain(), QByteArray());
}

void TestSim::stopAfter_data()
{
    QTest::addColumn<int>("n");
    QTest::newRow("nothing") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("inside the second frame") << 50;
    QTest::newRow("exactly all") << 3 * kFrame;
    QTest::newRow("more than all") << 1000;
}

void TestSim::stopAfter()
{
    QFETCH(int, n);
    const QStringList args{"--records", "3", "--seed", "3"};
    const QByteArray clean = cleanRecords(args, 3);
    QCOMPARE(clean.size(), 3 * kFrame);
    Sim sim;
    RawLine port;
    CONNECT(sim, port, args + QStringList{"--fast", "--stop-after", QString::number(n)});
    QVERIFY(port.write(rddAll));
    QCOMPARE(reply(port, clean.left(n).size()), clean.left(n));
    // Every reply is cut on its own, counted from its own start.
    QVERIFY(port.write(rddNow));
    QByteArray now = reply(port, std::min(n, kFrame));
    QCOMPARE(now.size(), std::min(n, kFrame));
    if (n >= kFrame)
        QCOMPARE(frameProblem(now, 0), QString());
    else
        QVERIFY(QByteArray("\x02" "D00").startsWith(now.left(4)));
    QVERIFY(port.write(rddAll));
    QCOMPARE(reply(port, clean.left(n).size()), clean.left(n));
}

void TestSim::pacing()
{
    // 9600 baud, 10 bits a byte: 126 bytes need at least 131 ms on the line.
    // Only this lower bound is checked; how much later they come is the machine's business.
    Sim sim;
    RawLine port;
    CONNECT(sim, port, {"--records", "3", "--seed", "8"});
    QElapsedTimer clock;
    clock.start();
    QVERIFY(port.write(rddAll));
    QByteArray reply = port.read(3 * kFrame);
    const qint64 elapsedNs = clock.nsecsElapsed();
    QCOMPARE(reply.size(), 3 * kFrame);
    QVERIFY2(elapsedNs >= qint64(3 * kFrame) * 1'040'000,
             qPrintable(QStringLiteral("126 bytes in %1 ms").arg(elapsedNs / 1e6)));
    QCOMPARE(reply, cleanRecords({"--records", "3", "--seed", "8"}, 3));
}

void TestSim::reopen_data()
{
    QTest::addColumn<bool>("fast");
    QTest::newRow("paced, left mid-reply") << false;
    QTest::newRow("fast, left with the reply unread") << true;
}

void TestSim::reopen()
{
    QFETCH(bool, fast);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("counter");
    Sim sim;
    START(sim, QStringList{"--records", "36", "--link", link} + (fast ? QStringList{"--fast"} : QStringList{}));
    // Opened and closed again and again, by its name and through the link.
    for (int round = 0; round < 4; ++round) {
        RawLine port;
        OPEN(port, round % 2 ? link : sim.device);
        QVERIFY(port.write(rddNow));
        QCOMPARE(frameProblem(port.read(kFrame), 0), QString());
    }
    // A client that goes away before it has the whole reply: the rest is lost
    // with it, and the next client starts on a quiet line.
    {
        RawLine port;
        OPEN(port, sim.device);
        QVERIFY(port.write(rddAll));
        if (fast)
            QThread::msleep(300);  // all sent, none read
        else
            QCOMPARE(port.read(kFrame).size(), kFrame);
    }
    QThread::msleep(300);
    RawLine port;
    OPEN(port, link);
    QCOMPARE(port.drain(), QByteArray());
    QVERIFY(port.write(rddNow));
    QCOMPARE(frameProblem(port.drain(), 0), QString());
    QCOMPARE(sim.process.state(), QProcess::Running);
}

void TestSim::stopping_data()
{
    QTest::addColumn<int>("signal");  // 0: standard input closed
    QTest::addColumn<bool>("nullStdin");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("end of standard input") << 0 << false;
    // A null standard input is not watched: it does not stop the simulator.
    QTest::newRow("SIGTERM, standard input null") << int(SIGTERM) << true;
}

void TestSim::stopping()
{
    QFETCH(int, signal);
    QFETCH(bool, nullStdin);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("qz");
    Sim sim;
    START(sim, {"--fast", "--link", link}, nullStdin);
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device);
    {
        RawLine port;
        OPEN(port, link);
        QVERIFY(port.write(rddNow));
        QCOMPARE(frameProblem(port.read(kFrame), 0), QString());
        QCOMPARE(sim.process.state(), QProcess::Running);
        // Stopped while a client still has the device open.
        if (signal)
            QCOMPARE(::kill(pid_t(sim.process.processId()), signal), 0);
        else
            sim.process.closeWriteChannel();
        int exitCode = -1;
        QVERIFY(sim.finish(&exitCode));
        QCOMPARE(exitCode, 0);
    }
    QVERIFY(!lstatExists(link));
}

void TestSim::linkReplacesOnlyLinks()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A stale link is replaced...
    const QString stale = dir.filePath("stale");
    QVERIFY(QFile::link(dir.filePath("gone"), stale));
    {
        Sim sim;
        START(sim, {"--link", stale});
        QCOMPARE(QFileInfo(stale).symLinkTarget(), sim.device);
    }
    QVERIFY(!lstatExists(stale));
    // ...an ordinary file is not, and the simulator refuses to start.
    const QString file = dir.filePath("file");
    QVERIFY(writeFile(file, "keep me"));
    Sim sim;
    QVERIFY(!sim.start({"--link", file}));
    int exitCode = -1;
    QVERIFY(sim.finish(&exitCode));
    QCOMPARE(exitCode, 1);
    QCOMPARE(fileBytes(file), QByteArray("keep me"));
}

void TestSim::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("101 records") << QStringList{"--records", "101"};
    QTest::newRow("negative records") << QStringList{"--records", "-1"};
    QTest::newRow("records not a number") << QStringList{"--records", "3x"};
    QTest::newRow("records without value") << QStringList{"--records"};
    QTest::newRow("lose-cr 0") << QStringList{"--lose-cr", "0"};
    QTest::newRow("stop-after empty") << QStringList{"--stop-after="};
    QTest::newRow("seed too big") << QStringList{"--seed", "18446744073709551616"};
    QTest::newRow("flag with value") << QStringList{"--fast=1"};
    QTest::newRow("unknown option") << QStringList{"--bogus"};
}

void TestSim::usage()
{
    QFETCH(QStringList, args);
    QProcess process;
    process.start(QStringLiteral(QZ_SIM_PATH), args);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QVERIFY(!process.readAllStandardError().isEmpty());

    // Help names every option and the record-number rule.
    QProcess help;
    help.start(QStringLiteral(QZ_SIM_PATH), {"--help"});
    QVERIFY(help.waitForFinished(10000));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* option : {"--records", "--seed", "--fast", "--link", "--log", "--garbage", "--lose-cr", "--nak",
                               "--stop-after", "record 100"})
        QVERIFY2(text.contains(option), option);
}

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
