// qz7310-collect end to end: a 100-record "RDD ALL" from the simulator paced at the
// real 9600 baud, from the start of the collector's process to its exit with the CSV
// committed, against the line time of the reply plus the collector's quiet time; and
// the same with --clear, which reads the records twice before CLR ALL, against two
// line times plus two quiet times.

#include "bench_support.h"

#include "readout_session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

constexpr int Records = 100;
constexpr int FrameChars = 42;

struct CollectRig
{
    QTemporaryDir dir;
    QProcess sim;
    QString link;
    QString error;

    CollectRig()
        : link(dir.filePath(QStringLiteral("COM1")))
    {
        start();
    }

    // Paced: the counter's reply takes as long as it would on the real line. A clear
    // empties it: it is started again, with all its records, for the next run.
    void start()
    {
        error = startSimulator(sim, {QStringLiteral("--records"), QString::number(Records),
                                     QStringLiteral("--link"), link});
    }
    void restart()
    {
        stopSimulator(sim);
        start();
    }

    ~CollectRig()
    {
        stopSimulator(sim);
    }

    // Wall seconds of one collector run, or a negative value when it failed.
    double collect(bool clear = false)
    {
        const QString csv = dir.filePath(QStringLiteral("records.csv"));
        QFile::remove(csv);
        QProcess p;
        QElapsedTimer clock;
        clock.start();
        QStringList args{QStringLiteral("--port"), link, QStringLiteral("--output"), csv};
        if (clear)
            args << QStringLiteral("--clear");
        p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/qz7310-collect"), args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            // Its messages only when something went wrong: the table stays readable.
            std::fputs(p.readAllStandardError().constData(), stderr);
            return -1;
        }
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        QFile f(csv);
        if (!f.open(QIODevice::ReadOnly) || f.readAll().count("\r\n") != Records)
            return -1;
        return seconds;
    }
};

void BM_Collect(benchmark::State &st)
{
    CollectRig rig;
    if (!rig.error.isEmpty()) {
        st.SkipWithError(rig.error.toStdString().c_str());
        return;
    }
    for (auto _ : st) {
        const double seconds = rig.collect();
        if (seconds < 0) {
            st.SkipWithError("qz7310-collect did not save 100 records");
            break;
        }
        st.SetIterationTime(seconds);
    }
}

void BM_CollectClear(benchmark::State &st)
{
    CollectRig rig;
    for (auto _ : st) {
        st.PauseTiming();
        rig.restart();
        st.ResumeTiming();
        if (!rig.error.isEmpty()) {
            st.SkipWithError(rig.error.toStdString().c_str());
            break;
        }
        const double seconds = rig.collect(true);
        if (seconds < 0) {
            st.SkipWithError("qz7310-collect --clear did not save 100 records and clear");
            break;
        }
        st.SetIterationTime(seconds);
    }
}

} // namespace

double collectLineSeconds()
{
    // 10 bits a character (8N1) at 9600 baud, plus the silence that ends the reply.
    return Records * FrameChars * 10.0 / 9600.0 + CollectOptions::DefaultQuietMs / 1000.0;
}

void registerCollectBenchmark()
{
    benchmark::RegisterBenchmark("BM_Collect", BM_Collect)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(3)
        ->DisplayAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_CollectClear", BM_CollectClear)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(3)
        ->DisplayAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
}
