#pragma once

#include "history_store.h"

#include <QChartView>
#include <QList>
#include <QStringList>

#include <array>
#include <memory>

class QLineSeries;
class QBarSeries;
class QDateTimeAxis;
class QValueAxis;
class QBarCategoryAxis;

// CNTR1..CNTR5, TOTAL: the names the window's table heads its columns with.
QString channelName(int channel);

// A counter's counts over time: a line per channel, drawn from the points a pixel
// column can show (reducedPoints), drawn anew when the range changes (a zoom).
// Drag to zoom into a period, right click or the wheel to zoom out; a point's values
// show on hover.
class CountChart : public QChartView
{
    Q_OBJECT
public:
    explicit CountChart(QWidget *parent = nullptr);

    // The counter's whole history, shown from the first read-out at or after
    // `sinceMs` (ms since the epoch; the lowest value: all).
    void setHistory(std::shared_ptr<const CountHistory> history, qint64 sinceMs);
    const CountHistory &history() const { return *m_history; }
    // Records in the chosen period; the first of them.
    qsizetype shownCount() const { return m_history->size() - m_first; }
    qsizetype firstShown() const { return m_first; }
    void setChannelVisible(int channel, bool visible);
    bool channelVisible(int channel) const;
    // The whole history in view.
    void resetZoom();
    bool zoomed() const { return m_zoomed; }

    QLineSeries *series(int channel) const { return m_series[channel]; }
    QDateTimeAxis *timeAxis() const { return m_time; }

    // The record nearest in time to x (ms), -1 when there is none.
    qsizetype nearest(double x) const;
    // A record's values as the hover shows them.
    QString pointText(qsizetype index) const;

public slots:
    void redraw();

protected:
    void wheelEvent(QWheelEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void rangeChanged();
    void scheduleRedraw();
    void showPoint(const QPointF &point, bool state);

    std::shared_ptr<const CountHistory> m_history = std::make_shared<CountHistory>();
    qsizetype m_first = 0;
    std::array<QLineSeries *, Channels> m_series{};
    QDateTimeAxis *m_time = nullptr;
    QValueAxis *m_counts = nullptr;
    struct Drawn
    {
        const CountHistory *history = nullptr;
        qsizetype first = 0;
        double x0 = 0, x1 = 0;
        int columns = 0;
        int shown = 0;
        bool operator==(const Drawn &) const = default;
    };
    Drawn m_drawn;
    bool m_drawing = false;
    bool m_zoomed = false;
    bool m_pending = false;
};

// One read-out's records as bars by record number, a set per channel shown.
class ReadoutChart : public QChartView
{
    Q_OBJECT
public:
    explicit ReadoutChart(QWidget *parent = nullptr);

    void setRecords(const QList<std::array<double, Channels>> &values, const QStringList &numbers);
    void setChannelVisible(int channel, bool visible);
    QBarSeries *bars() const { return m_bars; }

private:
    void rebuild();

    QList<std::array<double, Channels>> m_values;
    QStringList m_numbers;
    std::array<bool, Channels> m_visible{};
    QBarSeries *m_bars = nullptr;
    QBarCategoryAxis *m_axisX = nullptr;
    QValueAxis *m_axisY = nullptr;
};
