#include "value_table.h"

#include <QGridLayout>
#include <QPaintEvent>
#include <QPainter>
#include <QSpacerItem>

namespace varnel::app {

ValueTable::ValueTable(QGridLayout& grid, int firstRow, int firstColumn, int rows, int columns, int minWidth)
    : m_grid(grid),
      m_firstRow(firstRow),
      m_firstColumn(firstColumn),
      m_columns(columns),
      m_cells(static_cast<std::size_t>(rows * columns)) {
  const int height = fontMetrics().height();
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c)
      grid.addItem(new QSpacerItem(minWidth, height, QSizePolicy::Preferred, QSizePolicy::Preferred), firstRow + r,
                   firstColumn + c);
  grid.addWidget(this, firstRow, firstColumn, rows, columns);
}

void ValueTable::SetText(int cell, const QString& text) {
  Cell& c = m_cells.at(static_cast<std::size_t>(cell));
  if (c.text == text) return;
  c.text = text;
  Changed(cell);
}

void ValueTable::SetBackColor(int cell, std::optional<QColor> color) {
  Cell& c = m_cells.at(static_cast<std::size_t>(cell));
  if (c.backColor == color) return;
  c.backColor = color;
  Changed(cell);
}

void ValueTable::SetEnabled(int cell, bool enabled) {
  Cell& c = m_cells.at(static_cast<std::size_t>(cell));
  if (c.enabled == enabled) return;
  c.enabled = enabled;
  Changed(cell);
}

void ValueTable::Changed(int cell) {
  if (!m_holding) {
    update(CellRect(cell));
    return;
  }
  m_changed |= CellRect(cell);
}

void ValueTable::ShowChanges() {
  m_holding = false;
  if (!m_changed.isNull()) update(m_changed);
  m_changed = QRect();
}

std::optional<QRect> ValueTable::Placed(int cell) const {
  const QRect placed = m_grid.cellRect(m_firstRow + cell / m_columns, m_firstColumn + cell % m_columns);
  if (!placed.isValid()) return std::nullopt;  // not laid out yet
  return placed.translated(-pos());
}

QRect ValueTable::CellRect(int cell) const { return Placed(cell).value_or(rect()); }

void ValueTable::TakeBackground(QColor color) {
  m_background = color;
  // Everything under the table is painted by the table itself.
  setAttribute(Qt::WA_OpaquePaintEvent, true);
  update();
}

void ValueTable::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  if (m_background) painter.fillRect(event->rect(), *m_background);
  const QPalette& colours = palette();
  for (int i = 0; i < static_cast<int>(m_cells.size()); ++i) {
    // Where the grid has the cell now: it moves with the layout.
    const std::optional<QRect> placed = Placed(i);
    if (!placed || !event->region().intersects(*placed)) continue;
    const QRect& area = *placed;
    const Cell& cell = m_cells[static_cast<std::size_t>(i)];
    if (cell.backColor) painter.fillRect(area, *cell.backColor);
    // The colours a label of the window's palette would take.
    const QBrush text = cell.backColor ? QBrush(Qt::white)
                        : cell.enabled   ? colours.brush(foregroundRole())
                                         : colours.brush(QPalette::Disabled, foregroundRole());
    painter.setPen(QPen(text, 1));
    // Numbers go straight from the glyphs; any other text is laid out.
    if (cell.text.isEmpty() || m_line.Draw(painter, font(), area, cell.text)) continue;
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, cell.text);
  }
}

}  // namespace varnel::app
