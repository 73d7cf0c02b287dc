// "RDD ALL" end to end: the button, the real serial control, the simulated counter on a
// pseudo-terminal, the receive handler, and the grid's repaint showing the last record.

#include "bench_support.h"

#include "frm_main.h"
#include "line/module1.h"
#include "line/serial_comm_control.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

constexpr int Records = 100;

// Counts the grid's repaints that happen once the last record is in the table.
class PaintWatch : public QObject
{
public:
    PaintWatch(QWidget *viewport, const Module1 &state)
        : m_state(state)
    {
        viewport->installEventFilter(this);
    }
    int fullPaints = 0;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && m_state.FrameCount == Records)
            ++fullPaints;
        return false;
    }

private:
    const Module1 &m_state;
};

struct ReadoutRig
{
    QTemporaryDir dir;
    QProcess sim;
    Module1 state;
    std::unique_ptr<SerialCommControl> port;
    std::unique_ptr<frmMain> window;
    QPushButton *button = nullptr;
    QTableView *grid = nullptr;
    std::unique_ptr<PaintWatch> watch;
    QString error;

    ReadoutRig()
    {
        const QString link = dir.filePath(QStringLiteral("COM1"));
        error = startSimulator(sim, {QStringLiteral("--fast"), QStringLiteral("--records"),
                                     QString::number(Records), QStringLiteral("--link"), link});
        if (!error.isEmpty())
            return;

        qputenv("QZ7310_COM1", link.toLocal8Bit());
        port = std::make_unique<SerialCommControl>();
        window = std::make_unique<frmMain>(state, *port, [] {});
        window->show();
        QApplication::processEvents();
        if (!port->portOpen()) {
            error = QStringLiteral("COM1 (%1) did not open").arg(link);
            return;
        }
        button = window->findChild<QPushButton *>(QStringLiteral("Command1"));
        grid = window->findChild<QTableView *>(QStringLiteral("QztData"));
        // Row 100 in view, so its arrival shows on screen.
        grid->scrollToBottom();
        watch = std::make_unique<PaintWatch>(grid->viewport(), state);
    }

    ~ReadoutRig()
    {
        watch.reset();
        window.reset();
        port.reset();
        stopSimulator(sim);
    }

    // One read-out: click, every record received, row 100 painted. Wall seconds, or
    // a negative value when the read-out did not complete.
    double readOut()
    {
        QApplication::processEvents();
        watch->fullPaints = 0;
        const int holdsBefore = port->readHolds();
        const auto t0 = std::chrono::steady_clock::now();
        QTest::mouseClick(button, Qt::LeftButton);
        if (!pumpUntil([this] { return watch->fullPaints > 0; }, 10000))
            return -1;
        const auto t1 = std::chrono::steady_clock::now();
        notes().readoutHolds = std::max(0, notes().readoutHolds) + port->readHolds() - holdsBefore;
        ++notes().readouts;
        const QAbstractItemModel *model = grid->model();
        if (model->data(model->index(1, 0)).toString() != QLatin1String("1")
            || model->data(model->index(Records, 6)).toString().isEmpty())
            return -1;
        return std::chrono::duration<double>(t1 - t0).count();
    }
};

// One simulator and one window for every repetition; released by main while the
// application object still exists.
std::unique_ptr<ReadoutRig> g_rig;

ReadoutRig *Rig()
{
    if (!g_rig)
        g_rig = std::make_unique<ReadoutRig>();
    return g_rig.get();
}

void BM_ReadoutRddAll(benchmark::State &st)
{
    ReadoutRig *rig = Rig();
    if (!rig->error.isEmpty()) {
        st.SkipWithError(rig->error.toStdString().c_str());
        return;
    }
    for (auto _ : st) {
        const double seconds = rig->readOut();
        if (seconds < 0) {
            st.SkipWithError("the read-out did not complete within 10 s");
            break;
        }
        st.SetIterationTime(seconds);
    }
    notes().rssAfterReadoutMiB = double(residentBytes()) / (1024.0 * 1024.0);
    st.counters["rss_MiB"] = notes().rssAfterReadoutMiB;
}

} // namespace

void registerReadoutBenchmark()
{
    benchmark::RegisterBenchmark("BM_ReadoutRddAll", BM_ReadoutRddAll)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(9)
        ->DisplayAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
}

void releaseReadoutRig()
{
    g_rig.reset();
}
