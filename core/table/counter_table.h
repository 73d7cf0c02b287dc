#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <array>

// The counter table: 7 columns by 101 rows of text cells, row 0 the headings and
// rows 1..100 one record each. The cells are the only copy of the decoded records;
// the CSV export reads them back from here.
class CounterTable : public QAbstractTableModel
{
    Q_OBJECT
public:
    static constexpr int Columns = 7;
    static constexpr int HeadingRow = 0;
    static constexpr int FirstRecordRow = 1;
    static constexpr int LastRecordRow = 100;
    static constexpr int RecordRows = LastRecordRow - FirstRecordRow + 1;
    static constexpr int Rows = LastRecordRow + 1;
    // "CLR" empties rows FirstRecordRow..LastClearedRow. The last record row survives
    // it on purpose: the button has always left row 100 alone.
    static constexpr int LastClearedRow = LastRecordRow - 1;
    static constexpr int ClearedRows = LastClearedRow - FirstRecordRow + 1;

    using RowTexts = std::array<QString, Columns>;
    // The texts of the rows "CLR" empties, FirstRecordRow first.
    using ClearedRowTexts = std::array<RowTexts, ClearedRows>;
    static const std::array<int, Columns> ColumnWidthsTwips;

    explicit CounterTable(QObject *parent = nullptr);

    // Column count, row count, headings, widths and alignment; record cells empty.
    void SetupCounterTable();

    QString text(int row, int column) const;
    void setText(int row, int column, const QString &text);
    // Sets a whole record row with one change notification.
    void setRow(int row, const RowTexts &texts);

    // The "CLR" clearing (Command3_Click): rows FirstRecordRow..LastClearedRow
    // emptied, all columns, with one change notification.
    void clearRecordRows();
    // What clearRecordRows() would take, so a request whose write fails can put it
    // back with restoreClearedRows().
    ClearedRowTexts clearedRowTexts() const;
    void restoreClearedRows(const ClearedRowTexts &texts);

    int columnWidthTwips(int column) const;
    Qt::Alignment alignment(int column) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    int m_rows = 0;
    int m_columns = 0;
    std::array<RowTexts, Rows> m_cells;
    std::array<int, Columns> m_widths{};
    std::array<Qt::Alignment, Columns> m_alignment{};
};
