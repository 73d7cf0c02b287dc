#include "history_window.h"

#include "history_charts.h"
#include "port_messages.h"
#include "csv/durable_file.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <limits>

namespace {

// New read-outs show within this without a key pressed; each poll is a few short
// queries, and the chart is read again only when the counter has news.
constexpr int PollMs = 30000;
constexpr int RememberedStores = 10;
constexpr int KeptHistories = 4;
constexpr int ReadoutTab = 1;

const char *const StoresKey = "stores";

QTableView *tableView(QAbstractItemModel *model, QWidget *parent)
{
    auto *view = new QTableView(parent);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setStretchLastSection(true);
    view->setWordWrap(false);
    // Columns fitted to the first rows, not to thousands of read-outs.
    view->horizontalHeader()->setResizeContentsPrecision(100);
    return view;
}

bool sameHistory(const CounterSummary &a, const CounterSummary &b)
{
    return a.records == b.records && a.readouts == b.readouts && a.lastStarted == b.lastStarted;
}

// A store as the command line or the list names it; a bare path is an SQLite file.
QString storeUrl(const QString &text)
{
    if (text.startsWith(QLatin1String("sqlite:")) || text.contains(QLatin1String("://")))
        return text;
    return QStringLiteral("sqlite:") + QFileInfo(text).absoluteFilePath();
}

} // namespace

QString noStoreText()
{
    return HistoryWindow::tr(
        "<p><b>No store of read-outs yet.</b> The collector makes one: run "
        "<code>qz7310-collect --port COM1 --store sqlite:%1 --counter lab3</code> "
        "(or with <code>--store postgresql://USER@HOST/DATABASE</code> for a server the whole "
        "laboratory writes to), and every read-out it makes from then on, whether it was saved or "
        "failed, is added to that store. Then open the store here with <i>File &gt; Open SQLite "
        "store</i> or <i>Open PostgreSQL store</i>, or start <code>qz7310-history</code> with the "
        "same URL.</p>")
        .arg(QDir::toNativeSeparators(QDir::home().filePath(QStringLiteral("history.db"))));
}

HistoryWindow::HistoryWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("HistoryWindow"));
    m_counterModel = new CounterModel(this);
    m_readoutModel = new ReadoutModel(this);
    m_records = new CounterTable(this);
    m_records->SetupCounterTable();

    m_pages = new QStackedWidget(this);
    m_pages->addWidget(buildWelcome());
    m_pages->addWidget(buildViewer());
    setCentralWidget(m_pages);
    buildMenus();
    fillRecent();
    updateTitle();

    m_poll = new QTimer(this);
    m_poll->setInterval(PollMs);
    connect(m_poll, &QTimer::timeout, this, &HistoryWindow::refresh);
    resize(1280, 800);
}

HistoryWindow::~HistoryWindow() = default;

QWidget *HistoryWindow::buildWelcome()
{
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    m_welcome = new QLabel(noStoreText(), page);
    m_welcome->setObjectName(QStringLiteral("welcome"));
    m_welcome->setWordWrap(true);
    m_welcome->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_welcome->setMaximumWidth(640);
    layout->addStretch(1);
    layout->addWidget(m_welcome, 0, Qt::AlignHCenter);
    layout->addStretch(2);
    return page;
}

QWidget *HistoryWindow::buildViewer()
{
    auto *split = new QSplitter(Qt::Horizontal);

    // Left: the counters over the chosen counter's read-outs.
    auto *left = new QSplitter(Qt::Vertical, split);
    m_counterView = tableView(m_counterModel, left);
    m_counterView->setObjectName(QStringLiteral("counters"));
    m_readoutView = tableView(m_readoutModel, left);
    m_readoutView->setObjectName(QStringLiteral("readouts"));
    left->setStretchFactor(0, 1);
    left->setStretchFactor(1, 2);
    connect(m_counterView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) {
                if (current.isValid())
                    selectCounter(current.data(Qt::UserRole).toString());
            });
    connect(m_readoutView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) {
                if (current.isValid())
                    selectReadout(current.data(Qt::UserRole).toString());
            });
    connect(m_readoutView, &QTableView::activated, this, &HistoryWindow::showReadoutTab);

    // Right: counts over time, and one read-out.
    m_tabs = new QTabWidget(split);
    auto *overTime = new QWidget;
    auto *overLayout = new QVBoxLayout(overTime);
    overLayout->setContentsMargins(4, 4, 4, 4);
    auto *controls = new QHBoxLayout;
    m_period = new QComboBox(overTime);
    m_period->setObjectName(QStringLiteral("period"));
    m_period->addItem(tr("Whole history"), -1);
    m_period->addItem(tr("Last 7 days"), 7);
    m_period->addItem(tr("Last 30 days"), 30);
    m_period->addItem(tr("Last 365 days"), 365);
    m_period->addItem(tr("Since a date"), 0);
    m_sinceEdit = new QDateEdit(QDate::currentDate().addDays(-30), overTime);
    m_sinceEdit->setObjectName(QStringLiteral("since"));
    m_sinceEdit->setCalendarPopup(true);
    m_sinceEdit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    m_sinceEdit->setEnabled(false);
    controls->addWidget(new QLabel(tr("Period:"), overTime));
    controls->addWidget(m_period);
    controls->addWidget(m_sinceEdit);
    controls->addStretch(1);
    // The channels on a line of their own, so the chart's side stays narrow enough
    // for the tables beside it.
    auto *channels = new QHBoxLayout;
    for (int k : {TotalChannel, 0, 1, 2, 3, 4}) {
        m_channels[k] = new QCheckBox(channelName(k), overTime);
        m_channels[k]->setChecked(true);
        channels->addWidget(m_channels[k]);
        connect(m_channels[k], &QCheckBox::toggled, this, [this, k](bool on) {
            m_countChart->setChannelVisible(k, on);
            m_readoutChart->setChannelVisible(k, on);
        });
    }
    channels->addStretch(1);
    auto *whole = new QAction(tr("Zoom out"), this);
    whole->setShortcut(Qt::Key_Home);
    auto *wholeButton = new QToolButton(overTime);
    wholeButton->setDefaultAction(whole);
    addAction(whole);
    controls->addWidget(wholeButton);
    overLayout->addLayout(controls);
    overLayout->addLayout(channels);
    m_countChart = new CountChart(overTime);
    m_countChart->setObjectName(QStringLiteral("countChart"));
    overLayout->addWidget(m_countChart, 1);
    auto *hint = new QLabel(tr("Drag across the chart to zoom into a period; the wheel zooms too, a right click "
                               "zooms out. Hover a line for a record's values."),
                            overTime);
    hint->setWordWrap(true);
    hint->setEnabled(false);
    overLayout->addWidget(hint);
    connect(whole, &QAction::triggered, m_countChart, &CountChart::resetZoom);
    connect(m_period, &QComboBox::currentIndexChanged, this, &HistoryWindow::periodChosen);
    connect(m_sinceEdit, &QDateEdit::dateChanged, this, &HistoryWindow::periodChosen);
    m_tabs->addTab(overTime, tr("Counts over time"));

    auto *readout = new QWidget;
    auto *readoutLayout = new QVBoxLayout(readout);
    readoutLayout->setContentsMargins(4, 4, 4, 4);
    m_readoutTitle = new QLabel(readout);
    m_readoutTitle->setWordWrap(true);
    readoutLayout->addWidget(m_readoutTitle);
    auto *readoutSplit = new QSplitter(Qt::Vertical, readout);
    m_readoutChart = new ReadoutChart(readoutSplit);
    m_readoutChart->setObjectName(QStringLiteral("readoutChart"));
    m_recordView = new QTableView(readoutSplit);
    m_recordView->setObjectName(QStringLiteral("records"));
    m_recordView->setModel(m_records);
    m_recordView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_recordView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_recordView->verticalHeader()->hide();
    m_recordView->horizontalHeader()->hide(); // row 0 is the heading, as in the window
    m_recordView->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_recordView->verticalHeader()->setDefaultSectionSize(m_recordView->fontMetrics().height() + 6);
    m_recordView->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto *copy = new QAction(tr("Copy"), m_recordView);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, &HistoryWindow::copyRecords);
    m_recordView->addAction(copy);
    readoutSplit->setStretchFactor(0, 3);
    readoutSplit->setStretchFactor(1, 2);
    readoutLayout->addWidget(readoutSplit, 1);
    m_tabs->addTab(readout, tr("Read-out"));
    connect(m_tabs, &QTabWidget::currentChanged, this, &HistoryWindow::drawBars);

    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setSizes({620, 660});
    return split;
}

void HistoryWindow::buildMenus()
{
    QMenu *file = menuBar()->addMenu(tr("&File"));
    QAction *open = file->addAction(tr("Open &SQLite store..."), this, &HistoryWindow::chooseFile);
    open->setShortcut(QKeySequence::Open);
    file->addAction(tr("Open &PostgreSQL store..."), this, &HistoryWindow::chooseServer);
    m_recent = file->addMenu(tr("&Recent stores"));
    file->addSeparator();
    m_exportAction = file->addAction(tr("&Export CSV..."), this, &HistoryWindow::exportChosen);
    m_exportAction->setShortcut(Qt::CTRL | Qt::Key_E);
    m_exportAction->setEnabled(false);
    file->addSeparator();
    QAction *quit = file->addAction(tr("&Quit"), qApp, &QApplication::closeAllWindows);
    quit->setShortcut(QKeySequence::Quit);
    QMenu *view = menuBar()->addMenu(tr("&View"));
    QAction *refresh = view->addAction(tr("&Refresh"), this, &HistoryWindow::refresh);
    refresh->setShortcut(QKeySequence::Refresh);
    // F5 everywhere, also where the platform names another key for refreshing.
    if (refresh->shortcut() != QKeySequence(Qt::Key_F5))
        refresh->setShortcuts({QKeySequence(Qt::Key_F5), QKeySequence::Refresh});
}

QStringList HistoryWindow::rememberedStores()
{
    return QSettings().value(QLatin1String(StoresKey)).toStringList();
}

void HistoryWindow::remember(const QString &url)
{
    QStringList stores = rememberedStores();
    stores.removeAll(url);
    stores.prepend(url);
    while (stores.size() > RememberedStores)
        stores.removeLast();
    QSettings().setValue(QLatin1String(StoresKey), stores);
    fillRecent();
}

void HistoryWindow::fillRecent()
{
    m_recent->clear();
    const QStringList stores = rememberedStores();
    for (const QString &url : stores)
        m_recent->addAction(url, this, [this, url] { openStore(url); });
    m_recent->setEnabled(!stores.isEmpty());
}

void HistoryWindow::chooseFile()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open SQLite store"), QDir::homePath(),
                                                      tr("SQLite stores (*.db *.sqlite *.sqlite3);;All files (*)"));
    if (!path.isEmpty())
        openStore(QStringLiteral("sqlite:") + path);
}

void HistoryWindow::chooseServer()
{
    bool ok = false;
    const QString url = QInputDialog::getText(
        this, tr("Open PostgreSQL store"),
        tr("URL of the store, as the collector's --store names it:\npostgresql://USER@HOST:PORT/DATABASE\n"
           "The password is never part of it: it is taken from ~/.pgpass or PGPASSWORD."),
        QLineEdit::Normal, QStringLiteral("postgresql://"), &ok);
    if (ok && !url.trimmed().isEmpty())
        openStore(url.trimmed());
}

void HistoryWindow::showFailure(const QString &what, const QString &why)
{
    statusBar()->showMessage(QStringLiteral("%1: %2").arg(what, why));
    if (isVisible())
        QMessageBox::warning(this, windowTitle(), QStringLiteral("%1:\n%2").arg(what, why));
}

bool HistoryWindow::openStore(const QString &given, QString *errorOut)
{
    const QString url = storeUrl(given);
    QString error;
    const std::optional<StoreAddress> address = parseStoreAddress(url, &error);
    auto store = address ? std::make_unique<HistoryStore>(*address) : nullptr;
    if (!store || !store->open(&error)) {
        showFailure(tr("Cannot open the store %1").arg(address ? address->text : url), error);
        if (errorOut)
            *errorOut = error;
        return false;
    }
    m_store = std::move(store);
    m_histories.clear();
    m_readoutLists.clear();
    m_url = url;
    m_counter.clear();
    m_readoutId.clear();
    m_loaded = CounterSummary();
    remember(url);
    m_pages->setCurrentIndex(1);
    m_exportAction->setEnabled(true);
    updateTitle();
    refresh();
    // The counter looked at last in this store, else the first.
    const QString last = QSettings().value(QStringLiteral("counter/") + url).toString();
    const int row = m_counterModel->rowOf(last);
    if (m_counterModel->rowCount() > 0)
        selectCounter(m_counterModel->counters().value(row >= 0 ? row : 0).name);
    m_poll->start();
    return true;
}

// The counter looked at and its store, so a window among many (or a taskbar) says which.
void HistoryWindow::updateTitle()
{
    if (!m_store)
        setWindowTitle(tr("QZ-7310 history"));
    else if (m_counter.isEmpty())
        setWindowTitle(tr("QZ-7310 history - %1").arg(m_store->address().text));
    else
        setWindowTitle(tr("QZ-7310 history - %1 - %2").arg(m_counter, m_store->address().text));
}

void HistoryWindow::refresh()
{
    if (!m_store)
        return;
    QList<CounterSummary> counters;
    QString error;
    if (!m_store->counters(&counters, &error)) {
        statusBar()->showMessage(tr("Cannot read the store: %1").arg(error));
        return;
    }
    // A counter with news is read again when it is drawn.
    for (const CounterSummary &now : counters) {
        const int before = m_counterModel->rowOf(now.name);
        if (before < 0 || !sameHistory(m_counterModel->counters()[before], now)) {
            m_histories.remove(now.name);
            m_readoutLists.remove(now.name);
        }
    }
    m_counterModel->setCounters(counters);
    m_counterView->resizeColumnsToContents();
    const int row = m_counterModel->rowOf(m_counter);
    if (row >= 0) {
        const QSignalBlocker quiet(m_counterView->selectionModel());
        m_counterView->selectRow(row);
        const CounterSummary &now = counters[row];
        if (!sameHistory(now, m_loaded))
            loadCounter();
    }
    statusBar()->showMessage(tr("%n counter(s); read %1", nullptr, int(counters.size()))
                                 .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
}

void HistoryWindow::selectCounter(const QString &name)
{
    if (name == m_counter && m_loaded.name == name)
        return;
    m_counter = name;
    QSettings().setValue(QStringLiteral("counter/") + m_url, name);
    updateTitle();
    const int row = m_counterModel->rowOf(name);
    if (row >= 0) {
        const QSignalBlocker quiet(m_counterView->selectionModel());
        m_counterView->selectRow(row);
    }
    m_readoutId.clear();
    loadCounter();
}

// The counter's read-outs and its chart, read again.
void HistoryWindow::loadCounter()
{
    const int row = m_counterModel->rowOf(m_counter);
    m_loaded = row >= 0 ? m_counterModel->counters()[row] : CounterSummary();
    // Kept like the history, and read again with it.
    QString error;
    if (!m_readoutLists.contains(m_counter)) {
        QList<ReadoutRow> read;
        if (!m_store->readouts(m_counter, &read, &error)) {
            statusBar()->showMessage(tr("Cannot read the store: %1").arg(error));
            return;
        }
        if (m_readoutLists.size() >= KeptHistories)
            m_readoutLists.clear();
        m_readoutLists.insert(m_counter, read);
    }
    const QList<ReadoutRow> readouts = m_readoutLists.value(m_counter);
    m_readoutModel->setReadouts(readouts);
    m_readoutView->resizeColumnsToContents();
    loadHistory();
    // The newest read-out unless one was chosen and is still there.
    QString id = m_readoutId;
    if (m_readoutModel->rowOf(id) < 0)
        id = readouts.isEmpty() ? QString() : readouts.first().id;
    m_readoutId.clear();
    selectReadout(id);
}

// The counter's whole history is read once and kept while it has no news (a few
// counters' worth): a switch of period or back to a counter only draws.
void HistoryWindow::loadHistory()
{
    if (!m_store)
        return;
    std::shared_ptr<const CountHistory> history = m_histories.value(m_counter);
    if (!history) {
        CountHistory read;
        QString error;
        if (!m_store->history(m_counter, &read, &error)) {
            statusBar()->showMessage(tr("Cannot read the store: %1").arg(error));
            return;
        }
        history = std::make_shared<const CountHistory>(std::move(read));
        if (m_histories.size() >= KeptHistories)
            m_histories.clear();
        m_histories.insert(m_counter, history);
    }
    m_countChart->setHistory(history, m_since.isValid() ? since().toMSecsSinceEpoch()
                                                        : std::numeric_limits<qint64>::min());
    m_countChart->chart()->setTitle(
        tr("%1: %n record(s)", nullptr, int(m_countChart->shownCount())).arg(m_counter));
}

void HistoryWindow::selectReadout(const QString &id)
{
    if (id == m_readoutId && !id.isEmpty())
        return;
    m_readoutId = id;
    const int row = m_readoutModel->rowOf(id);
    if (row >= 0) {
        const QSignalBlocker quiet(m_readoutView->selectionModel());
        m_readoutView->selectRow(row);
    }
    loadReadout();
}

void HistoryWindow::loadReadout()
{
    QByteArray reply;
    QString error;
    const int row = m_readoutModel->rowOf(m_readoutId);
    if (row < 0 || !m_store->reply(m_readoutId, &reply, &error)) {
        if (!error.isEmpty())
            statusBar()->showMessage(tr("Cannot read the store: %1").arg(error));
        reply.clear();
    }
    decodeReply(reply, m_records);
    m_barsDrawn = false;
    drawBars();
    if (row < 0) {
        m_readoutTitle->clear();
        return;
    }
    const ReadoutRow &r = m_readoutModel->readouts()[row];
    QString title = tr("%1, %2 of %3: %4 record(s) received, %5 new; %6")
                        .arg(r.request, m_counter, localTimeText(r.started))
                        .arg(r.records)
                        .arg(r.newRecords)
                        .arg(resultText(r.verdict, r.status));
    if (r.failed() || r.troubled())
        title += QStringLiteral("<br><span style=\"color:#a00000\">%1</span>")
                     .arg(r.messages.toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br>")));
    m_readoutTitle->setText(title);
}

// The bars are drawn when their tab shows: switching counters stays quick.
void HistoryWindow::drawBars()
{
    if (m_barsDrawn || m_tabs->currentIndex() != ReadoutTab)
        return;
    m_barsDrawn = true;
    QStringList numbers;
    const auto values = tableValues(*m_records, &numbers);
    m_readoutChart->setRecords(values, numbers);
    m_readoutChart->chart()->setTitle(values.isEmpty() ? tr("No records in this reply") : QString());
}

void HistoryWindow::showReadoutTab()
{
    m_tabs->setCurrentIndex(ReadoutTab);
}

QDateTime HistoryWindow::since() const
{
    return m_since.isValid() ? m_since.startOfDay() : QDateTime();
}

void HistoryWindow::setPeriod(const QDate &since)
{
    {
        const QSignalBlocker quiet(m_period), quietEdit(m_sinceEdit);
        m_period->setCurrentIndex(since.isValid() ? m_period->count() - 1 : 0);
        if (since.isValid())
            m_sinceEdit->setDate(since);
        m_sinceEdit->setEnabled(since.isValid());
    }
    m_since = since;
    loadHistory();
}

void HistoryWindow::periodChosen()
{
    const int days = m_period->currentData().toInt();
    m_sinceEdit->setEnabled(days == 0);
    QDate since;
    if (days > 0)
        since = QDate::currentDate().addDays(1 - days);
    else if (days == 0)
        since = m_sinceEdit->date();
    if (since == m_since)
        return;
    m_since = since;
    loadHistory();
}

bool HistoryWindow::exportTo(const QString &path, QString *error)
{
    QList<QByteArray> frames;
    if (!m_store || !m_store->frames(m_counter, since(), &frames, error))
        return false;
    const FileWriteFailure failed = writeFileDurably(path, exportCsv(frames), ReplaceFile::Always);
    if (!failed.ok()) {
        *error = fileFailureText(failed);
        return false;
    }
    statusBar()->showMessage(tr("%n record(s) of counter %1 written to %2", nullptr, int(frames.size()))
                                 .arg(m_counter, QDir::toNativeSeparators(path)));
    return true;
}

void HistoryWindow::exportChosen()
{
    if (m_counter.isEmpty())
        return;
    QString name = m_counter;
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    if (m_since.isValid())
        name += QLatin1Char('-') + m_since.toString(Qt::ISODate);
    const QString path = QFileDialog::getSaveFileName(this, tr("Export CSV"), QDir::home().filePath(name + ".csv"),
                                                      tr("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!exportTo(path, &error))
        showFailure(tr("Cannot write %1").arg(QDir::toNativeSeparators(path)), error);
}

// The chosen cells as tab-separated lines, as a spreadsheet takes them.
void HistoryWindow::copyRecords()
{
    const QModelIndexList cells = m_recordView->selectionModel()->selectedIndexes();
    if (cells.isEmpty())
        return;
    int top = INT_MAX, bottom = -1, left = INT_MAX, right = -1;
    for (const QModelIndex &cell : cells) {
        top = std::min(top, cell.row());
        bottom = std::max(bottom, cell.row());
        left = std::min(left, cell.column());
        right = std::max(right, cell.column());
    }
    QString text;
    for (int row = top; row <= bottom; ++row) {
        QStringList line;
        for (int column = left; column <= right; ++column)
            line << (m_recordView->selectionModel()->isSelected(m_records->index(row, column))
                         ? m_records->text(row, column)
                         : QString());
        text += line.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    QGuiApplication::clipboard()->setText(text);
}
