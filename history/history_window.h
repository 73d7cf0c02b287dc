#pragma once

#include "history_data.h"
#include "history_models.h"
#include "history_store.h"

#include <QDate>
#include <QHash>
#include <QMainWindow>
#include <memory>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QMenu;
class QStackedWidget;
class QTableView;
class QTabWidget;
class QTimer;
class CountChart;
class ReadoutChart;

// The viewer's one window: the counters, the chosen counter's read-outs, its counts
// over time and one read-out's records. It only reads the store.
class HistoryWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit HistoryWindow(QWidget *parent = nullptr);
    ~HistoryWindow() override;

    // Opens a store by the collector's URL (or a path to an SQLite file). False, with
    // the reason shown and in *error, when it cannot.
    bool openStore(const QString &url, QString *error = nullptr);
    // The stores opened before, the latest first.
    static QStringList rememberedStores();

    void selectCounter(const QString &name);
    void selectReadout(const QString &id);
    // From a local date on; an invalid date: the whole history.
    void setPeriod(const QDate &since);
    QDateTime since() const;
    QString currentCounter() const { return m_counter; }
    // The chosen counter and period as --export writes them.
    bool exportTo(const QString &path, QString *error);

    HistoryStore *store() const { return m_store.get(); }
    CounterModel *counterModel() const { return m_counterModel; }
    ReadoutModel *readoutModel() const { return m_readoutModel; }
    CounterTable *recordTable() const { return m_records; }
    CountChart *countChart() const { return m_countChart; }
    ReadoutChart *readoutChart() const { return m_readoutChart; }
    QTableView *recordView() const { return m_recordView; }

public slots:
    // New read-outs and counters, keeping the choices made.
    void refresh();
    void copyRecords();
    // The chosen read-out's records and bars.
    void showReadoutTab();

private:
    void buildMenus();
    QWidget *buildWelcome();
    QWidget *buildViewer();
    void chooseFile();
    void chooseServer();
    void exportChosen();
    void fillRecent();
    void remember(const QString &url);
    void loadCounter();
    void loadHistory();
    void loadReadout();
    void drawBars();
    void periodChosen();
    void showFailure(const QString &what, const QString &why);
    void updateTitle();

    std::unique_ptr<HistoryStore> m_store;
    QString m_url;
    QString m_counter;
    QString m_readoutId;
    QDate m_since;
    CounterSummary m_loaded; // what the chart was drawn from, to redraw only on news
    QHash<QString, std::shared_ptr<const CountHistory>> m_histories;
    QHash<QString, QList<ReadoutRow>> m_readoutLists;
    bool m_barsDrawn = false;

    QStackedWidget *m_pages = nullptr;
    QLabel *m_welcome = nullptr;
    CounterModel *m_counterModel = nullptr;
    ReadoutModel *m_readoutModel = nullptr;
    CounterTable *m_records = nullptr;
    QTableView *m_counterView = nullptr;
    QTableView *m_readoutView = nullptr;
    QTableView *m_recordView = nullptr;
    QTabWidget *m_tabs = nullptr;
    CountChart *m_countChart = nullptr;
    ReadoutChart *m_readoutChart = nullptr;
    QLabel *m_readoutTitle = nullptr;
    QComboBox *m_period = nullptr;
    QDateEdit *m_sinceEdit = nullptr;
    std::array<QCheckBox *, Channels> m_channels{};
    QMenu *m_recent = nullptr;
    QAction *m_exportAction = nullptr;
    QTimer *m_poll = nullptr;
};

// The paragraph a first start shows: how the collector makes a store.
QString noStoreText();
