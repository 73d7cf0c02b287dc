// qz7310-bench: Google Benchmark's table, then the read-out's read holds, the memory,
// soak and store figures, then one summary line:
//   bench: core=<chars/s> window=<chars/s> flat=<ratio> readout_ms=<ms> collect=<ratio>
//          collect_clear=<ratio> soak_rss_kb=<kB> bytes_cpu_pct=<%> bytes_wakeups=<per byte>
//          flood_rss_mb=<MiB> flood_gap_ms=<ms>
//          store_ms=sqlite:<ms>/pg:<ms> store_kb_per_1000=sqlite:<KiB>/pg:<KiB>
//          history_open_ms=<ms> history_redraw_ms=<ms>
// (pg: n/a without a PostgreSQL server in libpq's variables; scripts/bench provides one).

#include "bench_support.h"

#include "app_identity.h"
#include "raw_text_box.h"

#include <QApplication>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <malloc.h>
#include <string>
#include <unistd.h>

namespace {

// The console table as usual, keeping each result for the summary.
class KeepingReporter : public benchmark::ConsoleReporter
{
public:
    // Colours only on a terminal, so a saved log stays plain text.
    KeepingReporter()
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular)
    {
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.error_occurred)
                continue;
            // Keyed by function and argument, without the repetition and timing
            // suffixes Google Benchmark adds to the displayed name.
            std::string key = r.run_name.function_name;
            if (!r.run_name.args.empty())
                key += "/" + r.run_name.args;
            if (r.run_type == Run::RT_Aggregate)
                key += "_" + r.aggregate_name;
            kept[key] = r;
        }
    }

    const Run *find(const std::string &name) const
    {
        const auto it = kept.find(name);
        return it == kept.end() ? nullptr : &it->second;
    }

    double rate(const std::string &name) const
    {
        const Run *r = find(name);
        if (!r)
            return -1;
        const auto it = r->counters.find("items_per_second");
        return it == r->counters.end() ? -1 : double(it->second);
    }

private:
    std::map<std::string, Run> kept;
};

std::string figure(double v, int decimals)
{
    if (v < 0)
        return "n/a";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

} // namespace

int main(int argc, char **argv)
{
    // A fixed threshold keeps big blocks (the log) in their own mappings, returned to
    // the system when freed, so resident memory measures what is alive.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    benchmark::Initialize(&argc, argv);
    QApplication app(argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    setupApplication();

    registerReadoutBenchmark();
    registerReceiveBenchmarks();
    registerCollectBenchmark();
    registerSoakBenchmark();
    registerScreenBenchmark();
    registerFloodBenchmark();
    registerStoreBenchmark();
    registerHistoryBenchmark();

    KeepingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    releaseReadoutRig();
    benchmark::Shutdown();

    // Medians when repeated (the default), else the single run.
    const auto rate = [&reporter](const std::string &name) {
        const double median = reporter.rate(name + "_median");
        return median >= 0 ? median : reporter.rate(name);
    };
    const double core = rate("BM_CoreReceive");
    const double window = rate("BM_WindowReceive/1000");
    const double windowFull = rate("BM_WindowReceive/10000000");
    const double flat = (window > 0 && windowFull > 0) ? window / windowFull : -1;
    const auto *readout = reporter.find("BM_ReadoutRddAll_median");
    const double readoutMs = readout ? readout->GetAdjustedRealTime() : -1; // unit: ms
    const auto *collectRun = reporter.find("BM_Collect_median");
    const double collect = collectRun ? collectRun->GetAdjustedRealTime() / 1000.0 / collectLineSeconds() : -1;
    // With --clear: the read-out and its read-back, against two line times and quiet times.
    const auto *clearRun = reporter.find("BM_CollectClear_median");
    const double collectClear =
        clearRun ? clearRun->GetAdjustedRealTime() / 1000.0 / (2 * collectLineSeconds()) : -1;

    const BenchNotes &n = notes();
    std::cout << std::flush;
    // The read-out is a burst faster than the line: a hold there would only delay it.
    std::printf("readout: read_holds=%s in %d read-outs (0 expected)\n",
                figure(n.readoutHolds, 0).c_str(), n.readouts);
    std::printf("memory: rss_after_readout_mib=%s (limit 80)\n", figure(n.rssAfterReadoutMiB, 1).c_str());
    std::printf("memory: log_chars=%s log_rss_mib=%s log_capacity_mib=%s\n",
                figure(n.logChars, 0).c_str(), figure(n.logRssMiB, 1).c_str(),
                figure(n.logCapacityMiB, 1).c_str());
    // Growth may come out negative; only a soak that did not run has no figure.
    const std::string soakGrowth = n.soakRssStartKiB < 0 || n.soakRssEndKiB < 0
        ? std::string("n/a")
        : std::to_string(std::llround(n.soakRssEndKiB - n.soakRssStartKiB));
    std::printf("soak: readouts=%d clean=%d checked=%d mismatches=%d reopenings=%d lines_lost=%d "
                "warnings=%d\n",
                n.soakReadouts, n.soakClean, n.soakChecked, n.soakMismatches, n.soakReopenings,
                n.soakLinesLost, n.soakWarnings);
    std::printf("soak: rss_start_kb=%s rss_end_kb=%s fds_start=%d fds_end=%d fds_before=%d "
                "fds_after=%d (limits: growth 1024 kB, no descriptor left)\n",
                figure(n.soakRssStartKiB, 0).c_str(), figure(n.soakRssEndKiB, 0).c_str(),
                n.soakFdsStart, n.soakFdsEnd, n.soakFdsBefore, n.soakFdsAfter);
    std::printf("screen: bytes_cpu_pct=%s bytes_wakeups=%s idle_wakeups_per_s=%s "
                "(one byte every 1.04 ms on Xvfb)\n",
                figure(n.bytesCpuPct, 1).c_str(), figure(n.bytesWakeups, 2).c_str(),
                figure(n.bytesIdleWakeups, 1).c_str());
    std::printf("flood: rss_growth_mib=%s longest_gap_ms=%s mb_per_s=%s (200 MB over TCP; limits: "
                "growth 64 MiB + the log's %lld MiB, gap 100 ms)\n",
                figure(n.floodRssMiB, 1).c_str(), figure(n.floodGapMs, 1).c_str(), figure(n.floodMBps, 1).c_str(),
                static_cast<long long>(RawTextBox::DefaultMaximumBytes / (1024 * 1024)));
    std::printf("store: sqlite add_ms=%s kib_after_1000=%s; pg add_ms=%s kib_after_1000=%s fsync=%s "
                "(100-record read-outs, each a new epoch; median of the last 20 of 1,000)\n",
                figure(n.storeMsSqlite, 2).c_str(), figure(n.storeKbSqlite, 0).c_str(), figure(n.storeMsPg, 2).c_str(),
                figure(n.storeKbPg, 0).c_str(), n.storePgFsync.empty() ? "n/a" : n.storePgFsync.c_str());
    std::printf("history: open_ms=%s redraw_ms=%s rss_mib=%s (3,000 read-outs, 300,000 records; limits: "
                "1000 ms, 200 ms, 200 MiB)\n",
                figure(n.historyOpenMs, 1).c_str(), figure(n.historyRedrawMs, 1).c_str(),
                figure(n.historyRssMiB, 1).c_str());
    std::printf("history_export: runs=3000 export_ms=%s store_kib=%s csv_kib=%s export_per_add=%s (SQLite, fsync on; "
                "--export of every record against one read-out's add)\n",
                figure(n.historyExportMs, 0).c_str(), figure(n.historyStoreKb, 0).c_str(),
                figure(n.historyCsvKb, 0).c_str(),
                n.historyExportMs > 0 && n.storeMsSqlite > 0 ? figure(n.historyExportMs / n.storeMsSqlite, 1).c_str()
                                                             : "n/a");
    std::printf("bench: core=%s window=%s flat=%s readout_ms=%s collect=%s collect_clear=%s soak_rss_kb=%s "
                "bytes_cpu_pct=%s bytes_wakeups=%s flood_rss_mb=%s flood_gap_ms=%s "
                "store_ms=sqlite:%s/pg:%s store_kb_per_1000=sqlite:%s/pg:%s history_open_ms=%s history_redraw_ms=%s\n",
                figure(core, 0).c_str(), figure(window, 0).c_str(), figure(flat, 2).c_str(),
                figure(readoutMs, 1).c_str(), figure(collect, 3).c_str(), figure(collectClear, 3).c_str(),
                soakGrowth.c_str(),
                figure(n.bytesCpuPct, 1).c_str(), figure(n.bytesWakeups, 2).c_str(),
                figure(n.floodRssMiB, 1).c_str(), figure(n.floodGapMs, 1).c_str(),
                figure(n.storeMsSqlite, 2).c_str(), figure(n.storeMsPg, 2).c_str(),
                figure(n.storeKbSqlite, 0).c_str(), figure(n.storeKbPg, 0).c_str(),
                figure(n.historyOpenMs, 1).c_str(), figure(n.historyRedrawMs, 1).c_str());
    return 0;
}
