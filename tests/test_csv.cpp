#include "csv/csv_writer.h"
#include "csv/durable_file.h"
#include "table/record_decoder.h"
#include "test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace {

QByteArray csv(const Receiver &rx) { return csvBytes(rx.table, rx.state.FrameCount); }

const QByteArray EmptyLine = "\"\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n";

QStringList listing(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                               QDir::Name);
}

} // namespace

class TestCsv : public QObject
{
    Q_OBJECT
private slots:
    void linesFromReceivedRecords();
    void clearedRowsAndRowLimits();
    void writesAndReplacesFiles();
    void followsSymbolicLink();
    void failureKeepsOldFile_data();
    void failureKeepsOldFile();
    void failureWhenFileTooLarge();
    void syncedBeforeNamed_data();
    void syncedBeforeNamed();
};

void TestCsv::linesFromReceivedRecords()
{
    Receiver rx;
    QCOMPARE(csv(rx), QByteArray());   // nothing received yet: no bytes at all

    rx.feed(dataFrame(1, {120, 0, 35, 0, 4}));
    rx.feed(QByteArray("junk") + Ctl::ACK + Ctl::CR);   // not a record: not exported
    rx.feed(dataFrame(2, {99999, 1, 2, 3, 4}));
    // A short frame with a signed, padded field: what is missing reads as 0.
    rx.feed(QByteArray(1, Ctl::STX) + "D03 -0012 " + Ctl::CR);
    QCOMPARE(rx.state.FrameCount, std::int16_t(3));

    const QByteArray expected =
        "\"1\",\"120\",\"0\",\"35\",\"0\",\"4\",\"159\"\r\n"
        "\"2\",\"99999\",\"1\",\"2\",\"3\",\"4\",\"100009\"\r\n"
        "\"3\",\"-12\",\"0\",\"0\",\"0\",\"0\",\"0\"\r\n";
    QCOMPARE(csv(rx), expected);
    // A record of seven short values: 32 characters plus CR LF.
    QCOMPARE(csv(rx).indexOf("\r\n"), 32);

    // An empty cell keeps its place as two adjacent quotes.
    rx.table.setText(2, 3, QString());
    rx.table.setText(2, 0, QString());
    QCOMPARE(csvBytes(rx.table, 3).split('\n').at(1),
             QByteArray("\"\",\"99999\",\"1\",\"\",\"3\",\"4\",\"100009\"\r"));
}

void TestCsv::clearedRowsAndRowLimits()
{
    Receiver rx;
    rx.feed(dataFrame(1, {1, 2, 3, 4, 5}));
    rx.feed(dataFrame(2, {6, 7, 8, 9, 10}));
    rx.table.clearRecordRows();
    // "CLR" keeps FrameCount: the export still writes its lines, all fields empty.
    QCOMPARE(csv(rx), EmptyLine + EmptyLine);
    rx.feed(dataFrame(3, {0, 0, 0, 0, 7}));
    QCOMPARE(csv(rx), EmptyLine + EmptyLine + "\"3\",\"0\",\"0\",\"0\",\"0\",\"7\",\"7\"\r\n");

    // Fill all 100 rows, then start a new request: row 100 stays in the table
    // (only rows 1..99 are cleared) but lies beyond FrameCount.
    rx.table.clearRecordRows();
    ResetReception(rx.state);
    for (int i = 1; i <= 100; ++i)
        rx.feed(dataFrame(i % 100, {i, 0, 0, 0, 0}));
    QCOMPARE(rx.state.FrameCount, std::int16_t(100));
    QCOMPARE(csv(rx).count("\r\n"), 100);
    QVERIFY(csv(rx).endsWith("\"0\",\"100\",\"0\",\"0\",\"0\",\"0\",\"100\"\r\n"));
    rx.table.clearRecordRows();
    ResetReception(rx.state);
    rx.feed(dataFrame(1, {5, 0, 0, 0, 0}));
    QCOMPARE(rx.table.text(100, 1), QStringLiteral("100"));
    QCOMPARE(csv(rx), QByteArray("\"1\",\"5\",\"0\",\"0\",\"0\",\"0\",\"5\"\r\n"));

    // Counts outside the table's record rows: never past row 100, nothing below 1.
    QCOMPARE(csvBytes(rx.table, 100).count("\r\n"), 100);
    QCOMPARE(csvBytes(rx.table, 101), csvBytes(rx.table, 100));
    QCOMPARE(csvBytes(rx.table, 32767), csvBytes(rx.table, 100));
    QCOMPARE(csvBytes(rx.table, -1), QByteArray());
    QCOMPARE(csvBytes(rx.table, INT_MIN), QByteArray());
    // The heading row is never exported.
    QVERIFY(!csvBytes(rx.table, 100).contains("CNTR"));
}

void TestCsv::writesAndReplacesFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("records.csv");
    Receiver rx;

    // FrameCount 0: the file is created, empty.
    CsvResult r = writeCsvFile(path, rx.table, 0);
    QVERIFY2(r.ok, qPrintable(r.error));
    QVERIFY(r.error.isEmpty());
    QVERIFY(QFileInfo(path).isFile());
    QCOMPARE(QFileInfo(path).size(), 0);

    rx.feed(dataFrame(1, {1, 1, 1, 1, 1}) + dataFrame(2, {2, 2, 2, 2, 2}) + dataFrame(3, {3, 3, 3, 3, 3}));
    r = writeCsvFile(path, rx.table, rx.state.FrameCount);
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(fileBytes(path), csv(rx));
    QCOMPARE(fileBytes(path).count("\r\n"), 3);

    // Saving again replaces the content; nothing is appended.
    r = writeCsvFile(path, rx.table, 1);
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(fileBytes(path), QByteArray("\"1\",\"1\",\"1\",\"1\",\"1\",\"1\",\"5\"\r\n"));

    // FrameCount 0 over an existing file: emptied to 0 bytes.
    r = writeCsvFile(path, rx.table, 0);
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(QFileInfo(path).size(), 0);

#ifdef Q_OS_UNIX
    // Permissions of a replaced file are kept (Windows has no such bits to keep).
    QVERIFY(writeFile(path, "old"));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    r = writeCsvFile(path, rx.table, 3);
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(QFileInfo(path).permissions() & 0x0FFF, QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup);
#else
    QVERIFY(writeCsvFile(path, rx.table, 3).ok);
#endif

    // Replacing only an empty file: one with content stays as it was.
    QCOMPARE(writeFileDurably(path, "new", ReplaceFile::OnlyEmpty).kind, FileWriteFailure::Kind::NotEmpty);
    QCOMPARE(fileBytes(path), csv(rx));
    QVERIFY(writeFile(path, ""));
    QVERIFY(writeFileDurably(path, "new", ReplaceFile::OnlyEmpty).ok());
    QCOMPARE(fileBytes(path), QByteArray("new"));
    QCOMPARE(listing(dir.path()), QStringList{"records.csv"});   // no temporary left over

    // Never: a name is made anew or not at all; an empty file, a folder or a dangling
    // link by that name is kept, and the first free name of several is taken.
    QVERIFY(writeFile(path, ""));
    QCOMPARE(writeFileDurably(path, "new", ReplaceFile::Never).kind, FileWriteFailure::Kind::NameTaken);
    QCOMPARE(fileBytes(path), QByteArray());
#ifdef Q_OS_UNIX
    QVERIFY(QFile::link(dir.filePath("gone.csv"), dir.filePath("dangling.csv")));
#else
    // QFile::link makes a shortcut on Windows, not a symbolic link: an empty file stands in.
    QVERIFY(writeFile(dir.filePath("dangling.csv"), ""));
#endif
    QVERIFY(QDir(dir.path()).mkdir("folder.csv"));
    QString written;
    const QStringList names{path, dir.filePath("dangling.csv"), dir.filePath("folder.csv"), dir.filePath("free.csv")};
    QVERIFY(writeNewFileDurably(names, "fresh", &written).ok());
    QCOMPARE(written, dir.filePath("free.csv"));
    QCOMPARE(fileBytes(written), QByteArray("fresh"));
    QCOMPARE(writeNewFileDurably(names.mid(0, 3), "again", &written).kind, FileWriteFailure::Kind::NameTaken);
    QVERIFY(!QFileInfo::exists(dir.filePath("gone.csv")));
    QCOMPARE(listing(dir.path()), (QStringList{"dangling.csv", "folder.csv", "free.csv", "records.csv"}));
}

void TestCsv::followsSymbolicLink()
{
#ifndef Q_OS_UNIX
    QSKIP("QFile::link makes a shortcut on Windows, not a symbolic link");
#else
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir("data"));
    const QString target = dir.filePath("data/real.csv");
    const QString link = dir.filePath("link.csv");
    QVERIFY(writeFile(target, "old content\r\n"));
    QVERIFY(QFile::link(target, link));

    Receiver rx;
    rx.feed(dataFrame(4, {1, 2, 3, 4, 5}));
    const CsvResult r = writeCsvFile(link, rx.table, rx.state.FrameCount);
    QVERIFY2(r.ok, qPrintable(r.error));
    QVERIFY(QFileInfo(link).isSymLink());   // the link itself is kept
    QCOMPARE(QFileInfo(link).symLinkTarget(), target);
    QCOMPARE(fileBytes(target), csv(rx));

    // A link to a file that does not exist yet: the file is made where it points.
    const QString dangling = dir.filePath("later.csv");
    QVERIFY(QFile::link(dir.filePath("data/new.csv"), dangling));
    QVERIFY(writeCsvFile(dangling, rx.table, 1).ok);
    QVERIFY(QFileInfo(dangling).isSymLink());
    QCOMPARE(fileBytes(dir.filePath("data/new.csv")), csv(rx));
#endif
}

// Targets that cannot be written, even by root (tests may run as root, where
// permission bits stop nothing).
void TestCsv::failureKeepsOldFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("directory of that name") << "dir";
    QTest::newRow("path below a regular file") << "underfile";
    QTest::newRow("missing folder") << "missingdir";
#ifdef Q_OS_UNIX
    QTest::newRow("named pipe") << "fifo";
    QTest::newRow("link to a directory") << "linkdir";
#endif
}

void TestCsv::failureKeepsOldFile()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString old = dir.filePath("old.csv");
    const QByteArray oldBytes = "\"1\",\"2\",\"3\",\"4\",\"5\",\"6\",\"21\"\r\n";
    QVERIFY(writeFile(old, oldBytes));

    QString path;
    if (kind == "dir") {
        path = dir.filePath("sub.csv");
        QVERIFY(QDir(dir.path()).mkdir("sub.csv"));
        QVERIFY(writeFile(path + "/inside.txt", "keep"));
    } else if (kind == "underfile") {
        path = old + "/x.csv";
    } else if (kind == "missingdir") {
        path = dir.filePath("nowhere/x.csv");
    }
#ifdef Q_OS_UNIX
    else if (kind == "fifo") {
        path = dir.filePath("pipe.csv");
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0666), 0);
    } else if (kind == "linkdir") {
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        path = dir.filePath("tofolder.csv");
        QVERIFY(QFile::link(dir.filePath("folder"), path));
    }
#endif
    const QStringList before = listing(dir.path());

    Receiver rx;
    rx.feed(dataFrame(1, {1, 2, 3, 4, 5}));
    const CsvResult r = writeCsvFile(path, rx.table, rx.state.FrameCount);
    QVERIFY(!r.ok);
    QVERIFY(!r.error.isEmpty());

    QCOMPARE(fileBytes(old), oldBytes);
    QCOMPARE(listing(dir.path()), before);
    if (kind == "dir")
        QCOMPARE(fileBytes(path + "/inside.txt"), QByteArray("keep"));
#ifdef Q_OS_UNIX
    if (kind == "fifo") {
        struct stat st{};
        QCOMPARE(::lstat(QFile::encodeName(path).constData(), &st), 0);
        QVERIFY(S_ISFIFO(st.st_mode));
    }
#endif
    if (kind == "linkdir")
        QVERIFY(QFileInfo(path).isSymLink());

    const QString text = csvFailureText(path, r.error);
    QVERIFY(text.startsWith(QStringLiteral("ファイルを保存できませんでした。\n")));
    QVERIFY(text.contains(QDir::toNativeSeparators(path)));
    QVERIFY(text.endsWith(r.error));
}

// A write that fails half way (as on a full disk): the old file stays whole and no
// partial or temporary file is left behind. A file size limit fails for root too.
void TestCsv::failureWhenFileTooLarge()
{
#ifndef Q_OS_UNIX
    QSKIP("the file size limit (setrlimit) is POSIX");
#else
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("records.csv");
    const QByteArray oldBytes = "old\r\n";
    QVERIFY(writeFile(path, oldBytes));

    Receiver rx;
    for (int i = 1; i <= 20; ++i)
        rx.feed(dataFrame(i, {i, i, i, i, i}));
    QVERIFY(csv(rx).size() > 500);

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 100;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const CsvResult r = writeCsvFile(path, rx.table, rx.state.FrameCount);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!r.ok);
    QCOMPARE(r.error, qt_error_string(EFBIG));   // the system's reason, not "unknown"
    QCOMPARE(fileBytes(path), oldBytes);
    QCOMPARE(listing(dir.path()), QStringList{"records.csv"});
    QVERIFY(csvFailureText(path, r.error).contains(QDir::toNativeSeparators(path)));

    // A new file that cannot be written whole takes no name and leaves nothing behind.
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const FileWriteFailure fresh = writeFileDurably(dir.filePath("new.csv"), csv(rx), ReplaceFile::Never);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QCOMPARE(fresh.kind, FileWriteFailure::Kind::Write);
    QCOMPARE(fresh.reason, qt_error_string(EFBIG));
    QCOMPARE(listing(dir.path()), QStringList{"records.csv"});

    // The same save works once the limit is gone.
    QVERIFY(writeCsvFile(path, rx.table, rx.state.FrameCount).ok);
    QCOMPARE(fileBytes(path), csv(rx));
#endif
}

namespace {
// The sync seam: what each file sync found under the target's name, or a failing sync.
QString s_target;
QList<QByteArray> s_seenAtSync;
bool s_failSync = false;
bool watchSync(SyncTarget what, const QString &)
{
    if (what == SyncTarget::File)
        s_seenAtSync << (QFileInfo::exists(s_target) ? fileBytes(s_target) : QByteArray("none"));
    return !(s_failSync && what == SyncTarget::File);
}
} // namespace

// Every way a file is made is synced before it takes its name, on every platform
// (the seam stands in for a disk whose flush fails): leave the sync out and the
// failing flush goes unnoticed.
void TestCsv::syncedBeforeNamed_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("fails");
    for (const char *how : {"replace", "new name", "first free name", "reserved"}) {
        QTest::addRow("%s, synced", how) << how << false;
        QTest::addRow("%s, the sync fails", how) << how << true;
    }
}

void TestCsv::syncedBeforeNamed()
{
    QFETCH(QString, how);
    QFETCH(bool, fails);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("records.csv");
    if (how == "replace")
        QVERIFY(writeFile(path, "old"));
    const QStringList before = listing(dir.path());
    s_target = path;
    s_seenAtSync.clear();
    s_failSync = fails;
    setSyncHook(watchSync);

    FileWriteFailure r;
    QString written;
    if (how == "replace") {
        r = writeFileDurably(path, "new", ReplaceFile::Always);
    } else if (how == "new name") {
        r = writeFileDurably(path, "new", ReplaceFile::Never);
    } else if (how == "first free name") {
        r = writeNewFileDurably({path, dir.filePath("records_2.csv")}, "new", &written);
    } else {
        ReservedFile room;
        r = room.reserve({path}, 4096);
        QVERIFY(r.ok());
        r = room.commit("new", &written);
    }
    setSyncHook(nullptr);

    QVERIFY(!s_seenAtSync.isEmpty());
    // At the sync the name still held what it held before.
    QCOMPARE(s_seenAtSync.first(), how == "replace" ? QByteArray("old") : QByteArray("none"));
    if (fails) {
        QCOMPARE(r.kind, FileWriteFailure::Kind::Sync);
        QCOMPARE(listing(dir.path()), before); // nothing named, nothing left behind
        if (how == "replace")
            QCOMPARE(fileBytes(path), QByteArray("old"));
    } else {
        QVERIFY2(r.ok(), qPrintable(r.reason));
        QCOMPARE(fileBytes(path), QByteArray("new"));
        QCOMPARE(listing(dir.path()), QStringList{"records.csv"});
    }
}

QTEST_GUILESS_MAIN(TestCsv)
#include "test_csv.moc"
