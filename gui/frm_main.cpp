#include "frm_main.h"
#include "app_identity.h"
#include "frm_splash.h"
#include "paint_pacer.h"
#include "raw_text_box.h"
#include "startup.h"
#include "line/comm_control.h"
#include "line/module1.h"
#include "csv/csv_writer.h"
#include "clr_all.h"
#include "line/port_control.h"
#include "window_style.h"
#include "table/record_decoder.h"
#include "ui_frm_main.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <QStyledItemDelegate>

#include <memory>

namespace {

const QColor WindowBackground(176, 253, 253);

// Client area below the menu bar, in pixels (12870 x 6285 twips).
constexpr QSize ClientSize(858, 419);
constexpr int TwipsPerPixel = 15;
constexpr qreal TitlePoints = 15.75;
// Grid rows are the font's height plus this, as the grid control spaces them.
constexpr int GridRowPadding = 4;

// Column 0 of the grid is a fixed column: drawn like the headings, not like data.
class FixedColumnDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.column() == 0) {
            option->backgroundBrush = option->palette.brush(QPalette::Button);
            option->palette.setBrush(QPalette::Text, option->palette.brush(QPalette::ButtonText));
        }
    }
};

// The load sequence's error trap: a step that fails is abandoned silently and
// loading goes on with the next one.
template<typename Step>
void trapped(Step &&step)
{
    try {
        step();
    } catch (...) {
    }
}

} // namespace

frmMain::frmMain(Module1 &state, CommControl &port, SplashRunner splash, QWidget *parent)
    : QMainWindow(parent)
    , ui(std::make_unique<Ui::frmMain>())
    , m_state(state)
    , m_port(port)
    , m_splash(splash ? std::move(splash) : SplashRunner([] { showSplashModal(); }))
{
    loadResources();
    ui->setupUi(this);

    // Fixed single border: no minimise or maximise button, no resizing.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    ui->centralwidget->setFixedSize(ClientSize);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // The window colour is the client area's; the menu bar keeps the system's look.
    fillBackground(ui->centralwidget, WindowBackground);
    fillBackground(ui->Frame3, WindowBackground);

    setFontPoints(ui->Title1, TitlePoints);

    // Design-time texts; the load sequence empties them before the window shows.
    ui->cmdFormat->setText("Transmit Format");
    ui->txtRx->setText("Receive Format");

    QTableView *grid = ui->QztData;
    grid->setModel(&m_table);
    grid->setItemDelegate(new FixedColumnDelegate(grid));
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setTabKeyNavigation(false); // Tab moves on to the next control
    grid->setWordWrap(false);
    grid->setCornerButtonEnabled(false);
    grid->verticalHeader()->hide();
    grid->horizontalHeader()->setSectionsClickable(false);
    grid->horizontalHeader()->setHighlightSections(false);
    connect(&m_table, &QAbstractItemModel::modelReset, this, &frmMain::layOutGrid);

    connect(ui->menuPort, &QAction::triggered, this, &frmMain::menuPort_Click);
    connect(ui->MenuAbout, &QAction::triggered, this, &frmMain::MenuAbout_Click);
    connect(ui->menuFin, &QAction::triggered, this, &frmMain::menuFin_Click);
    connect(ui->Command3, &QPushButton::clicked, this, &frmMain::Command3_Click);
    connect(ui->Command1, &QPushButton::clicked, this, &frmMain::Command1_Click);
    connect(ui->Command4, &QPushButton::clicked, this, &frmMain::Command4_Click);
    connect(ui->Command2, &QPushButton::clicked, this, &frmMain::Command2_Click);
    connect(ui->CsvOut, &QPushButton::clicked, this, &frmMain::CsvOut_Click);
    m_port.setObjectName(QStringLiteral("QztTxRx"));
    connect(&m_port, &CommControl::OnComm, this, &frmMain::QztTxRx_OnComm);
    m_pacer = new PaintPacer(this, PaintPacer::presentsOnDisplay());

    Form_Load();

    ui->Command1->setFocus();
    adjustSize();
    if (QScreen *screen = QGuiApplication::primaryScreen())
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        screen->availableGeometry()));
}

frmMain::~frmMain()
{
    disconnect(&m_port, nullptr, this, nullptr);
}

void frmMain::Form_Load()
{
    trapped([&] {
        // Runs before PortNumber is set to 1 (the last step), so it reads 0 + 1:
        // the label names COM1, the port about to be opened. Label7 stays hidden.
        ui->Label7->setText(QStringLiteral("COM") + QStringLiteral(" %1").arg(m_state.PortNumber + 1)
                            + QStringLiteral(" : ") + QLatin1String(LineSettings));
    });
    trapped([&] { ui->cmdFormat->clear(); });
    trapped([&] { ui->txtRx->clear(); });
    trapped([&] { ui->Label5->clear(); });
    trapped([&] { ui->FileName->clear(); });
    trapped([&] { SetupCounterTable(); });
    trapped([&] {
        // Out of the tab order, but a click still gives the two visible boxes the focus
        // so the operator can select and copy from them.
        ui->cmdFormat->setFocusPolicy(Qt::ClickFocus);
        ui->txtRx->setFocusPolicy(Qt::ClickFocus);
        ui->FileName->setFocusPolicy(Qt::NoFocus);
    });
    trapped([&] { m_splash(); });
    trapped([&] {
        m_state.PortNumber = 1;
        OpenPort(m_state, m_port, /*withLeadingClose=*/false);
    });
}

void frmMain::SetupCounterTable()
{
    m_table.SetupCounterTable();
    layOutGrid();
}

void frmMain::layOutGrid()
{
    QTableView *grid = ui->QztData;
    // Row 0 holds the headings: the horizontal header shows it, so the row itself is
    // not drawn a second time.
    for (int r = 0; r < m_table.rowCount(); ++r)
        grid->setRowHidden(r, r == 0);
    QHeaderView *header = grid->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Fixed);
    for (int c = 0; c < m_table.columnCount(); ++c)
        grid->setColumnWidth(c, m_table.columnWidthTwips(c) / TwipsPerPixel);
    header->setDefaultAlignment(Qt::AlignCenter);
    grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid->verticalHeader()->setDefaultSectionSize(QFontMetrics(grid->font()).height() + GridRowPadding);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    if (!m_unloaded) {
        m_unloaded = true;
        Form_Unload();
    }
    event->accept();
}

void frmMain::Form_Unload()
{
    ClosePort(m_port);
}

void frmMain::QztTxRx_OnComm()
{
    if (m_port.CommEvent() != CommControl::EventReceive)
        return;
    const QByteArray input = m_port.Input();
    // The control hands over one character per notification.
    for (char c : input)
        receiveCharacter(m_state, m_table, *this, c);
    m_pacer->characterHandled();
}

void frmMain::appendLog(char c)
{
    ui->txtRx->append(c);
}

void frmMain::setStatus(const QString &text)
{
    // Every frame of a read-out gives the same verdict: no repaint for an unchanged text.
    if (ui->Label5->text() != text)
        ui->Label5->setText(text);
}

void frmMain::setTransmitText(const QByteArray &text)
{
    ui->cmdFormat->setText(text);
}

QByteArray frmMain::transmitText() const
{
    return ui->cmdFormat->text();
}

void frmMain::clearRecordsAndStatus()
{
    Command3_Click();
}

RecordsAndStatus frmMain::recordsAndStatus() const
{
    return {m_table.clearedRowTexts(), ui->Label5->text()};
}

void frmMain::restoreRecordsAndStatus(const RecordsAndStatus &saved)
{
    m_table.restoreClearedRows(saved.records);
    ui->Label5->setText(saved.status);
}

void frmMain::clearReceiveLog()
{
    ui->txtRx->clear();
}

void frmMain::warnPortNotOpen(const QString &text)
{
    QMessageBox::warning(this, applicationTitle(), text);
}

void frmMain::Command3_Click()
{
    m_table.clearRecordRows();
    ui->Label5->clear();
}

void frmMain::menuPort_Click()
{
    showPortDialog(m_state, m_port, this);
}

void frmMain::MenuAbout_Click()
{
    // Plain text, so the lone CR shows as a line break and the blanks are kept.
    QMessageBox box(QMessageBox::NoIcon, applicationTitle(), versionMessageText(),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void frmMain::menuFin_Click()
{
    close();
}

void frmMain::Command1_Click()
{
    SendCommand(m_state, m_port, *this, "RDD", "ALL");
}

void frmMain::Command4_Click()
{
    SendCommand(m_state, m_port, *this, "RDD", "NOW");
}

void frmMain::Command2_Click()
{
    // A fresh dialog for every showing, unloaded when it closes.
    CLR_ALL dialog([this] { SendCommand(m_state, m_port, *this, "CLR", "ALL"); }, this);
    dialog.exec();
}

void frmMain::CsvOut_Click()
{
    // Made for this showing only: Qt's file dialog writes its history into the user's
    // QtProject.conf when it is destroyed, so one that lived with the window would
    // write it at every run, even when nothing was saved.
    const std::unique_ptr<QFileDialog> CommonDialog1 = newCommonDialog();
    if (CommonDialog1->exec() != QDialog::Accepted)
        return;
    const QStringList chosen = CommonDialog1->selectedFiles();
    const QString path = chosen.isEmpty() ? QString() : chosen.constFirst();
    if (path.isEmpty())
        return;
    // The row count is taken once, as the writing starts.
    const CsvResult result = writeCsvFile(path, m_table, m_state.FrameCount);
    if (!result.ok)
        QMessageBox::warning(this, applicationTitle(), csvFailureText(path, result.error));
}

QStringList nameFiltersFromFilterText(const QString &filter)
{
    // "description|pattern|description|pattern": Qt reads the patterns from the
    // parentheses of each description, so the descriptions are the entries.
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString &description = parts[i];
        const QString &pattern = parts[i + 1];
        entries << (description.contains(QLatin1Char('(')) ? description
                                                           : description + " (" + pattern + ")");
    }
    return entries;
}

std::unique_ptr<QFileDialog> frmMain::newCommonDialog()
{
    auto dialog = std::make_unique<QFileDialog>(this);
    QFileDialog *CommonDialog1 = dialog.get();
    CommonDialog1->setObjectName(QStringLiteral("CommonDialog1"));
    CommonDialog1->setAcceptMode(QFileDialog::AcceptSave);
    CommonDialog1->setFileMode(QFileDialog::AnyFile);
    CommonDialog1->setNameFilters(nameFiltersFromFilterText(QString::fromUtf8(CsvFilterText)));
    CommonDialog1->selectNameFilter(CommonDialog1->nameFilters().constFirst());
    CommonDialog1->setDefaultSuffix(QStringLiteral("csv"));
    // Qt's own dialog puts the chosen entry's extension on the name typed so far, and
    // for "*.*" that turns "data.csv" into "data.*", a file nobody asked for. Note
    // the name as the entry changes (before Qt rewrites it) and put it back then.
    auto *types = CommonDialog1->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
    auto *nameEdit = CommonDialog1->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    auto typedName = std::make_shared<QString>();
    if (types && nameEdit)
        connect(types, &QComboBox::currentIndexChanged, nameEdit,
                [nameEdit, typedName] { *typedName = nameEdit->text(); });
    // ".csv" is added to a bare name only while the CSV entry is chosen.
    connect(CommonDialog1, &QFileDialog::filterSelected, CommonDialog1,
            [CommonDialog1, nameEdit, typedName](const QString &f) {
                CommonDialog1->setDefaultSuffix(f == CommonDialog1->nameFilters().constFirst()
                                                    ? QStringLiteral("csv") : QString());
                if (nameEdit && nameEdit->text().endsWith(QLatin1String(".*")))
                    nameEdit->setText(*typedName);
            });
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    CommonDialog1->setDirectory(folder);
    return dialog;
}
