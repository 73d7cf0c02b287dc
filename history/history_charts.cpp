#include "history_charts.h"

#include "history_data.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QCursor>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLineSeries>
#include <QLocale>
#include <QTimer>
#include <QToolTip>
#include <QValueAxis>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

// TOTAL drawn dark and thick; the channels in distinct colours.
const QColor ChannelColours[Channels] = {
    QColor(0x1f, 0x77, 0xb4), QColor(0xff, 0x7f, 0x0e), QColor(0x2c, 0xa0, 0x2c),
    QColor(0xd6, 0x27, 0x28), QColor(0x94, 0x67, 0xbd), QColor(0x20, 0x20, 0x20),
};

// Axis ends with a little room, on round numbers.
void fitCounts(QValueAxis *axis, double low, double high)
{
    if (low > high) {
        low = 0;
        high = 1;
    }
    if (low > 0)
        low = 0;
    if (high <= low)
        high = low + 1;
    axis->setRange(low, high * 1.05);
    axis->applyNiceNumbers();
}

} // namespace

QString channelName(int channel)
{
    return channel == TotalChannel ? QStringLiteral("TOTAL") : QStringLiteral("CNTR%1").arg(channel + 1);
}

CountChart::CountChart(QWidget *parent)
    : QChartView(parent)
{
    auto *chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    m_time = new QDateTimeAxis;
    m_time->setFormat(QStringLiteral("yyyy-MM-dd<br>HH:mm"));
    m_time->setTickCount(6);
    m_counts = new QValueAxis;
    m_counts->setLabelFormat(QStringLiteral("%.0f"));
    chart->addAxis(m_time, Qt::AlignBottom);
    chart->addAxis(m_counts, Qt::AlignLeft);
    // TOTAL last, drawn over the channels.
    for (int k = 0; k < Channels; ++k) {
        auto *series = new QLineSeries;
        series->setName(channelName(k));
        QPen pen(ChannelColours[k]);
        pen.setWidthF(k == TotalChannel ? 2.0 : 1.2);
        series->setPen(pen);
        chart->addSeries(series);
        series->attachAxis(m_time);
        series->attachAxis(m_counts);
        connect(series, &QLineSeries::hovered, this, &CountChart::showPoint);
        m_series[k] = series;
    }
    setChart(chart);
    // No antialiasing: at up to two points a pixel column it adds little to the lines
    // and costs most of the painting.
    setRenderHint(QPainter::Antialiasing, false);
    setRubberBand(QChartView::HorizontalRubberBand);
    setMouseTracking(true);
    connect(m_time, &QDateTimeAxis::rangeChanged, this, &CountChart::rangeChanged);
}

void CountChart::setHistory(std::shared_ptr<const CountHistory> history, qint64 sinceMs)
{
    m_history = std::move(history);
    const QList<qint64> &readAt = m_history->readAt;
    const int firstReadout = int(std::lower_bound(readAt.begin(), readAt.end(), sinceMs) - readAt.begin());
    const QList<int> &readout = m_history->readout;
    m_first = std::lower_bound(readout.begin(), readout.end(), firstReadout) - readout.begin();
    resetZoom();
}

void CountChart::setChannelVisible(int channel, bool visible)
{
    m_series[channel]->setVisible(visible);
    // The legend keeps every name, so a channel switched off can be seen to be off.
    redraw();
}

bool CountChart::channelVisible(int channel) const
{
    return m_series[channel]->isVisible();
}

void CountChart::resetZoom()
{
    m_drawing = true;
    if (shownCount() == 0) {
        const QDateTime now = QDateTime::currentDateTime();
        m_time->setRange(now.addDays(-1), now);
    } else {
        double first = m_history->time[m_first];
        double last = m_history->time.last();
        // A little room at both ends; a single moment still gets a width to stand in.
        const double room = last > first ? (last - first) / 50 : 30000;
        first -= room;
        last += room;
        m_time->setRange(QDateTime::fromMSecsSinceEpoch(qint64(first)), QDateTime::fromMSecsSinceEpoch(qint64(last)));
    }
    m_drawing = false;
    m_zoomed = false;
    redraw();
}

void CountChart::rangeChanged()
{
    if (m_drawing)
        return;
    m_zoomed = true;
    scheduleRedraw();
}

// Zooming changes the range more than once in a row: drawn once after.
void CountChart::scheduleRedraw()
{
    if (!m_pending) {
        m_pending = true;
        QTimer::singleShot(0, this, [this] {
            m_pending = false;
            redraw();
        });
    }
}

void CountChart::redraw()
{
    const double x0 = double(m_time->min().toMSecsSinceEpoch());
    const double x1 = double(m_time->max().toMSecsSinceEpoch());
    const int columns = std::max(64, int(chart()->plotArea().width()));
    // A resize or a zoom that leaves everything as drawn draws nothing.
    int shown = 0;
    for (int k = 0; k < Channels; ++k)
        shown |= m_series[k]->isVisible() << k;
    const Drawn now{m_history.get(), m_first, x0, x1, columns, shown};
    if (now == m_drawn)
        return;
    m_drawn = now;
    // Labels as fine as the range needs.
    const double span = x1 - x0;
    m_time->setFormat(span < 60e3          ? QStringLiteral("HH:mm:ss.zzz")
                      : span < 2 * 3600e3  ? QStringLiteral("HH:mm:ss")
                      : span < 3 * 86400e3 ? QStringLiteral("MM-dd<br>HH:mm")
                                           : QStringLiteral("yyyy-MM-dd"));
    double low = INFINITY, high = -INFINITY;
    for (int k = 0; k < Channels; ++k) {
        if (!m_series[k]->isVisible()) {
            m_series[k]->clear();
            continue;
        }
        const QList<QPointF> points = reducedPoints(m_history->time, m_history->values[k], x0, x1, columns, m_first);
        for (const QPointF &p : points) {
            if (p.x() >= x0 && p.x() <= x1) {
                low = std::min(low, p.y());
                high = std::max(high, p.y());
            }
        }
        m_series[k]->replace(points);
    }
    fitCounts(m_counts, low, high);
}

void CountChart::resizeEvent(QResizeEvent *event)
{
    QChartView::resizeEvent(event);
    // More columns, more points.
    scheduleRedraw();
}

void CountChart::wheelEvent(QWheelEvent *event)
{
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0 || shownCount() == 0)
        return;
    const QRectF area = chart()->plotArea();
    const double at = std::clamp((event->position().x() - area.left()) / area.width(), 0.0, 1.0);
    const double x0 = double(m_time->min().toMSecsSinceEpoch());
    const double x1 = double(m_time->max().toMSecsSinceEpoch());
    const double factor = std::pow(0.8, steps);
    const double centre = x0 + (x1 - x0) * at;
    const double width = std::max((x1 - x0) * factor, 1000.0);
    m_time->setRange(QDateTime::fromMSecsSinceEpoch(qint64(centre - width * at)),
                     QDateTime::fromMSecsSinceEpoch(qint64(centre + width * (1 - at))));
    event->accept();
}

qsizetype CountChart::nearest(double x) const
{
    const QList<double> &t = m_history->time;
    if (shownCount() == 0)
        return -1;
    const qsizetype k = std::lower_bound(t.begin() + m_first, t.end(), x) - t.begin();
    if (k == m_first)
        return k;
    if (k == t.size())
        return k - 1;
    return x - t[k - 1] <= t[k] - x ? k - 1 : k;
}

QString CountChart::pointText(qsizetype index) const
{
    const QLocale locale;
    QStringList lines;
    const QDateTime read = QDateTime::fromMSecsSinceEpoch(m_history->readAt[m_history->readout[index]]);
    lines << tr("Record %1, read %2").arg(m_history->number[index]).arg(read.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    for (int k : {TotalChannel, 0, 1, 2, 3, 4}) {
        if (m_series[k]->isVisible())
            lines << QStringLiteral("%1: %2").arg(channelName(k), locale.toString(qint64(m_history->values[k][index])));
    }
    return lines.join(QLatin1Char('\n'));
}

void CountChart::showPoint(const QPointF &point, bool state)
{
    if (!state) {
        QToolTip::hideText();
        return;
    }
    const qsizetype k = nearest(point.x());
    if (k >= 0)
        QToolTip::showText(QCursor::pos(), pointText(k), this);
}

ReadoutChart::ReadoutChart(QWidget *parent)
    : QChartView(parent)
{
    m_visible.fill(true);
    auto *chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    m_bars = new QBarSeries;
    m_axisX = new QBarCategoryAxis;
    m_axisY = new QValueAxis;
    m_axisY->setLabelFormat(QStringLiteral("%.0f"));
    chart->addSeries(m_bars);
    chart->addAxis(m_axisX, Qt::AlignBottom);
    chart->addAxis(m_axisY, Qt::AlignLeft);
    m_bars->attachAxis(m_axisX);
    m_bars->attachAxis(m_axisY);
    connect(m_bars, &QBarSeries::hovered, this, [this](bool state, int index, QBarSet *set) {
        if (!state) {
            QToolTip::hideText();
            return;
        }
        QToolTip::showText(QCursor::pos(),
                           tr("Record %1\n%2: %3")
                               .arg(m_numbers.value(index), set->label(), QLocale().toString(qint64(set->at(index)))),
                           this);
    });
    setChart(chart);
}

void ReadoutChart::setRecords(const QList<std::array<double, Channels>> &values, const QStringList &numbers)
{
    m_values = values;
    m_numbers = numbers;
    rebuild();
}

void ReadoutChart::setChannelVisible(int channel, bool visible)
{
    m_visible[channel] = visible;
    rebuild();
}

void ReadoutChart::rebuild()
{
    m_bars->clear();
    QList<QBarSet *> sets;
    double high = 0;
    for (int k : {TotalChannel, 0, 1, 2, 3, 4}) {
        if (!m_visible[k])
            continue;
        auto *set = new QBarSet(channelName(k));
        set->setColor(ChannelColours[k]);
        set->setBorderColor(ChannelColours[k]);
        QList<qreal> column;
        column.reserve(m_values.size());
        for (const auto &row : m_values) {
            column << row[k];
            high = std::max(high, row[k]);
        }
        set->append(column);
        sets << set;
    }
    // All at once: the series lays its bars out once.
    m_bars->append(sets);
    m_axisX->clear();
    // A label per record crowds the axis beyond a few dozen: the hover names them.
    m_axisX->append(m_numbers);
    m_axisX->setLabelsVisible(m_numbers.size() <= 30);
    fitCounts(m_axisY, 0, high);
}
