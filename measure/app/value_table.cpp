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
      m_rows(rows),
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
  update(CellRect(cell));
}

void ValueTable::SetBackColor(int cell, std::optional<QColor> color) {
  Cell& c = m_cells.at(static_cast<std::size_t>(cell));
  if (c.backColor == color) return;
  c.backColor = color;
  update(CellRect(cell));
}

void ValueTable::SetEnabled(int cell, bool enabled) {
  Cell& c = m_cells.at(static_cast<std::size_t>(cell));
  if (c.enabled == enabled) return;
  c.enabled = enabled;
  update(CellRect(cell));
}

QRect ValueTable::CellRect(int cell) {
  if (m_rects.empty()) PlaceCells();
  return m_rects.empty() ? rect() : m_rects.at(static_cast<std::size_t>(cell));
}

void ValueTable::TakeBackground(QColor color) {
  m_background = color;
  // Everything under the table is painted by the table itself.
  setAttribute(Qt::WA_OpaquePaintEvent, true);
  update();
}

// The grid's cells, once it has placed them, in the table's coordinates.
void ValueTable::PlaceCells() {
  std::vector<QRect> rects;
  rects.reserve(m_cells.size());
  for (int r = 0; r < m_rows; ++r) {
    for (int c = 0; c < m_columns; ++c) {
      const QRect placed = m_grid.cellRect(m_firstRow + r, m_firstColumn + c);
      if (!placed.isValid()) return;  // not laid out yet
      rects.push_back(placed.translated(-pos()));
    }
  }
  m_rects = std::move(rects);
}

void ValueTable::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  m_rects.clear();
}

void ValueTable::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  m_rects.clear();
}

void ValueTable::paintEvent(QPaintEvent* event) {
  if (m_rects.empty()) PlaceCells();
  if (m_rects.empty()) return;
  QPainter painter(this);
  if (m_background) painter.fillRect(event->rect(), *m_background);
  const QPalette& colours = palette();
  for (std::size_t i = 0; i < m_cells.size(); ++i) {
    const QRect& area = m_rects[i];
    if (!event->region().intersects(area)) continue;
    const Cell& cell = m_cells[i];
    if (cell.backColor) painter.fillRect(area, *cell.backColor);
    // The colours a label of the window's palette would take.
    if (cell.backColor)
      painter.setPen(QPen(Qt::white, 1));
    else
      painter.setPen(QPen(cell.enabled ? colours.brush(foregroundRole()) : colours.brush(QPalette::Disabled, foregroundRole()), 1));
    // Numbers go straight from the glyphs; any other text is laid out.
    if (cell.text.isEmpty() || m_line.Draw(painter, font(), area, cell.text)) continue;
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, cell.text);
  }
}

}  // namespace varnel::app
