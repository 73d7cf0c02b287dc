#include "table/counter_table.h"

#include <algorithm>

const std::array<int, CounterTable::Columns> CounterTable::ColumnWidthsTwips = {
    660, 800, 800, 800, 800, 800, 1050};

namespace {
bool inRange(int row, int column)
{
    return row >= 0 && row < CounterTable::Rows && column >= 0 && column < CounterTable::Columns;
}
}

CounterTable::CounterTable(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void CounterTable::SetupCounterTable()
{
    static const char *const headings[Columns] = {"No.", "CNTR1", "CNTR2", "CNTR3",
                                                  "CNTR4", "CNTR5", "TOTAL"};
    beginResetModel();
    m_columns = Columns;
    m_rows = Rows;
    for (int c = 0; c < Columns; ++c) {
        m_widths[c] = ColumnWidthsTwips[c];
        m_alignment[c] = Qt::AlignHCenter | Qt::AlignVCenter;
    }
    for (auto &row : m_cells)
        row.fill(QString());
    for (int c = 0; c < Columns; ++c)
        m_cells[HeadingRow][c] = QString::fromLatin1(headings[c]);
    endResetModel();
}

QString CounterTable::text(int row, int column) const
{
    return inRange(row, column) ? m_cells[row][column] : QString();
}

void CounterTable::setText(int row, int column, const QString &text)
{
    if (!inRange(row, column))
        return;
    m_cells[row][column] = text;
    const QModelIndex i = index(row, column);
    emit dataChanged(i, i, {Qt::DisplayRole});
    if (row == 0)
        emit headerDataChanged(Qt::Horizontal, column, column);
}

void CounterTable::setRow(int row, const RowTexts &texts)
{
    if (!inRange(row, 0))
        return;
    m_cells[row] = texts;
    emit dataChanged(index(row, 0), index(row, Columns - 1), {Qt::DisplayRole});
}

void CounterTable::clearRecordRows()
{
    for (int r = FirstRecordRow; r <= LastClearedRow; ++r)
        for (auto &cell : m_cells[r])
            cell.clear();
    emit dataChanged(index(FirstRecordRow, 0), index(LastClearedRow, Columns - 1), {Qt::DisplayRole});
}

CounterTable::ClearedRowTexts CounterTable::clearedRowTexts() const
{
    ClearedRowTexts texts;
    std::copy_n(m_cells.begin() + FirstRecordRow, ClearedRows, texts.begin());
    return texts;
}

void CounterTable::restoreClearedRows(const ClearedRowTexts &texts)
{
    std::copy(texts.begin(), texts.end(), m_cells.begin() + FirstRecordRow);
    emit dataChanged(index(FirstRecordRow, 0), index(LastClearedRow, Columns - 1), {Qt::DisplayRole});
}

int CounterTable::columnWidthTwips(int column) const
{
    return (column >= 0 && column < Columns) ? m_widths[column] : 0;
}

Qt::Alignment CounterTable::alignment(int column) const
{
    return (column >= 0 && column < Columns) ? m_alignment[column] : Qt::Alignment();
}

int CounterTable::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int CounterTable::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_columns;
}

QVariant CounterTable::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || !inRange(index.row(), index.column()))
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return m_cells[index.row()][index.column()];
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(m_alignment[index.column()]);
    default:
        return {};
    }
}

QVariant CounterTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    // The grid shows row 0 as its fixed heading row.
    if (orientation == Qt::Horizontal && section >= 0 && section < m_columns) {
        if (role == Qt::DisplayRole)
            return m_cells[HeadingRow][section];
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(m_alignment[section]);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}
