#pragma once

#include <QApplication>
#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <string>

// The bytes a counter sends for "RDD ALL" with the given number of records: one
// 42-byte data frame per record (STX "D" nn, five 5-digit counts, their 6-digit sum,
// CR), values varying from record to record as a real read-out does.
QByteArray readoutStream(int records, std::uint64_t seed = 7310);

// Starts the simulator that lands beside the bench with these options and waits until
// it names its device on its first line (its link is in place then). Returns what
// went wrong, or an empty text.
QString startSimulator(QProcess &sim, const QStringList &args);
// Stops it the way it expects, by closing its standard input.
void stopSimulator(QProcess &sim);

// Resident memory of this process in bytes (VmRSS), 0 when it cannot be read.
std::int64_t residentBytes();

// Results the benchmarks leave for the summary lines.
struct BenchNotes
{
    double rssAfterReadoutMiB = -1;
    // Read holds the serial control began during the read-outs, and how many ran.
    int readoutHolds = -1;
    int readouts = 0;
    double logChars = -1;
    double logCapacityMiB = -1;
    double logRssMiB = -1;

    // The soak run: counts, and memory and descriptors after its first round and at its end.
    int soakReadouts = -1;
    int soakClean = -1;
    int soakChecked = -1;
    int soakMismatches = -1;
    int soakReopenings = -1;
    int soakLinesLost = -1;
    int soakWarnings = -1;
    double soakRssStartKiB = -1;
    double soakRssEndKiB = -1;
    int soakFdsStart = -1;
    int soakFdsEnd = -1;
    int soakFdsBefore = -1; // before its window, port and simulators were made
    int soakFdsAfter = -1;  // once they are gone

    // The window on a real X server fed one byte at a time.
    double bytesCpuPct = -1;      // per cent of a core
    double bytesWakeups = -1;     // per received byte, all threads
    double bytesIdleWakeups = -1; // per second on a quiet line

    // The window taking a line that never stops (200 MB over TCP, offscreen).
    double floodRssMiB = -1;      // peak resident memory above where it stood before
    double floodGapMs = -1;       // longest gap between two ticks of a 10 ms timer
    double floodMBps = -1;

    // The store of read-outs: a 100-record read-out's add() in ms, and the store's size
    // after 1,000 of them in KiB; SQLite and PostgreSQL (whose fsync setting is kept).
    double storeMsSqlite = -1;
    double storeKbSqlite = -1;
    double storeMsPg = -1;
    double storeKbPg = -1;
    std::string storePgFsync;
    // The viewer on 3,000 read-outs of 100 records: opened and drawn, redrawn after a
    // switch of counter or period (the slowest), and its memory (the largest rise of
    // resident memory from before its window to its chart drawn).
    double historyOpenMs = -1;
    double historyRedrawMs = -1;
    double historyRssMiB = -1;
    // A 3,000-run history in SQLite (100-record read-outs, each a new epoch): --export
    // of all of it in ms, the store's and the CSV's size in KiB.
    double historyExportMs = -1;
    double historyStoreKb = -1;
    double historyCsvKb = -1;
};
BenchNotes &notes();

// Runs the event loop until done() holds or the deadline passes; no sleeping in between.
template<typename Done>
bool pumpUntil(Done done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // keeps WaitForMoreEvents from waiting past the deadline
    wake.start(50);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Registration, in the order they run.
void registerReadoutBenchmark();
void registerReceiveBenchmarks();
void registerCollectBenchmark();
void registerSoakBenchmark();
void registerScreenBenchmark();
void registerFloodBenchmark();
void registerStoreBenchmark();
void registerHistoryBenchmark();
// What a 100-record qz7310-collect run cannot beat: the reply's line time at 9600
// baud plus the collector's default quiet time, in seconds.
double collectLineSeconds();
// Stops the simulator and closes the window the read-out benchmark used.
void releaseReadoutRig();
