// The receive path: framing and decoding alone, then the main window's whole handler.

#include "bench_comm_control.h"
#include "bench_support.h"

#include "frm_main.h"
#include "raw_text_box.h"
#include "line/module1.h"
#include "line/reply_framing.h"
#include "table/counter_table.h"

#include <QApplication>
#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int Records = 100;

// Framing without a window: the log and the status go nowhere.
class DiscardingSink : public ReceiveSink
{
public:
    void appendLog(char) override { ++logged; }
    void setStatus(const QString &text) override { status = text; }

    std::int64_t logged = 0;
    QString status;
};

void BM_CoreReceive(benchmark::State &st)
{
    const QByteArray stream = readoutStream(Records);
    Module1 state;
    CounterTable table;
    table.SetupCounterTable();
    DiscardingSink sink;

    for (auto _ : st) {
        ResetReception(state);
        for (char c : stream)
            receiveCharacter(state, table, sink, c);
        benchmark::DoNotOptimize(state.FrameCount);
    }
    if (state.FrameCount != Records || table.text(Records, 6).isEmpty())
        st.SkipWithError("the read-out did not fill the table");
    st.SetItemsProcessed(st.iterations() * stream.size());
    st.SetLabel("100-record read-out, 42-byte frames");
}

// The main window on the stand-in control, shown (offscreen), as the program runs it.
struct WindowRig
{
    Module1 state;
    BenchCommControl port;
    std::unique_ptr<frmMain> window;
    RawTextBox *log = nullptr;

    WindowRig()
    {
        window = std::make_unique<frmMain>(state, port, [] {});
        window->show();
        QApplication::processEvents();
        log = window->findChild<RawTextBox *>(QStringLiteral("txtRx"));
    }

    // Puts the given text in the log as the log's own, unshared copy.
    void fillLog(const QByteArray &text)
    {
        log->setText(text);
        // A character outside any frame: logged (which gives the log its own copy)
        // and otherwise dropped.
        port.receive("x");
    }
};

QByteArray logText(qint64 size)
{
    const QByteArray stream = readoutStream(Records);
    QByteArray text;
    text.reserve(size);
    while (text.size() < size)
        text.append(QByteArrayView(stream).first(std::min<qsizetype>(stream.size(), size - text.size())));
    return text;
}

// Arg: characters already in the log when the read-out starts (at least that many, at
// most a tenth more). Each iteration is one
// read-out of 100 records, character by character through OnComm, followed by the
// repaint the event loop would do after the burst.
void BM_WindowReceive(benchmark::State &st)
{
    const qint64 prefill = st.range(0);
    const QByteArray stream = readoutStream(Records);
    const QByteArray before = logText(prefill);
    WindowRig rig;

    rig.fillLog(before);
    for (auto _ : st) {
        // Back to the starting size once the log has grown by a tenth. Refilling a
        // big log every time would measure the refill's trip through the caches.
        st.PauseTiming();
        if (rig.log->size() > prefill + prefill / 10)
            rig.fillLog(before);
        st.ResumeTiming();

        ResetReception(rig.state);
        rig.port.receive(stream);
        QApplication::processEvents();
    }
    if (rig.state.FrameCount != Records || rig.log->size() < prefill + 1 + stream.size())
        st.SkipWithError("the read-out did not reach the window");
    st.SetItemsProcessed(st.iterations() * stream.size());
    st.SetLabel(QStringLiteral("log holds %1 chars; one repaint per read-out").arg(prefill).toStdString());
}

// What ten million characters in the log cost in memory.
void BM_LogMemory(benchmark::State &st)
{
    const qint64 size = st.range(0);
    WindowRig rig;
    QApplication::processEvents();
    std::int64_t before = 0, after = 0;
    for (auto _ : st) {
        rig.log->clear();
        QApplication::processEvents();
        before = residentBytes();
        rig.fillLog(logText(size)); // the temporary goes: the log keeps the only copy
        QApplication::processEvents();
        after = residentBytes();
    }
    const double mib = 1024.0 * 1024.0;
    notes().logChars = double(rig.log->size());
    notes().logCapacityMiB = double(rig.log->text().capacity()) / mib;
    notes().logRssMiB = double(after - before) / mib;
    st.counters["log_MiB"] = notes().logRssMiB;
}

} // namespace

void registerReceiveBenchmarks()
{
    benchmark::RegisterBenchmark("BM_LogMemory", BM_LogMemory)
        ->Arg(10'000'000)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    // Medians of a few repetitions: the machine is shared, and the ratio of the two
    // window runs is only as good as each of them.
    benchmark::RegisterBenchmark("BM_CoreReceive", BM_CoreReceive)
        ->Repetitions(5)
        ->DisplayAggregatesOnly(true)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_WindowReceive", BM_WindowReceive)
        ->Arg(1'000)
        ->Arg(10'000'000)
        ->Repetitions(5)
        ->DisplayAggregatesOnly(true)
        ->Unit(benchmark::kMicrosecond);
}
