#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// The bytes a counter sends for "RDD ALL" with the given number of records: one
// 42-byte data frame per record (STX "D" nn, five 5-digit counts, their 6-digit sum,
// CR), values varying from record to record as a real read-out does.
QByteArray readoutStream(int records, std::uint64_t seed = 7310);

// Resident memory of this process in bytes (VmRSS), 0 when it cannot be read.
std::int64_t residentBytes();

// Results the benchmarks leave for the summary lines.
struct BenchNotes
{
    double rssAfterReadoutMiB = -1;
    double logChars = -1;
    double logCapacityMiB = -1;
    double logRssMiB = -1;
};
BenchNotes &notes();

// Registration, in the order they run.
void registerReadoutBenchmark();
void registerReceiveBenchmarks();
void registerCollectBenchmark();
// What a 100-record qz7310-collect run cannot beat: the reply's line time at 9600
// baud plus the collector's default quiet time, in seconds.
double collectLineSeconds();
// Stops the simulator and closes the window the read-out benchmark used.
void releaseReadoutRig();
