// The values of the results table (every channel's peak, components and
// RMS) painted by one widget.  A block changes some thirty of them; as
// labels each would be a widget of its own, painted with its own painter and
// its own pass of Qt's paint machinery.  Here a new value marks its cell, and
// one paint with one painter draws every marked cell.
//
// The table lies over a span of a grid layout, one cell per grid cell, so
// the captions and list boxes around it line up with its rows and columns;
// the layout holds a spacer of a value label's size in each grid cell, which
// keeps the grid as labels would make it.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <optional>
#include <vector>

#include "glyph_line.h"

class QGridLayout;

namespace varnel::app {

class ValueTable final : public QWidget {
 public:
  // Covers `rows` x `columns` grid cells of `grid` from (firstRow,
  // firstColumn); adds itself and the spacers to the grid.  Each value is at
  // least `minWidth` pixels wide.
  ValueTable(QGridLayout& grid, int firstRow, int firstColumn, int rows, int columns, int minWidth);

  int CellIndex(int row, int column) const { return row * m_columns + column; }
  const QString& Text(int cell) const { return m_cells[static_cast<std::size_t>(cell)].text; }
  void SetText(int cell, const QString& text);
  // A lamp colour behind a value, with white text; none gives the table's.
  void SetBackColor(int cell, std::optional<QColor> color);
  void SetEnabled(int cell, bool enabled);
  // Cells changed from here on are repainted together at ShowChanges: one
  // update of the rectangle around them rather than one for each cell.
  void HoldChanges() { m_holding = true; }
  void ShowChanges();
  // Where a cell lies in the table, as the grid has placed it.
  QRect CellRect(int cell) const;  // the whole table until the grid is laid out

  // The colour behind the cells and between them: the box's own (a flat
  // colour the table then paints itself, so that a new value never makes the
  // box repaint under it).
  void TakeBackground(QColor color);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::optional<QRect> Placed(int cell) const;
  void Changed(int cell);

  struct Cell {
    QString text;
    std::optional<QColor> backColor;
    bool enabled = true;
  };
  QGridLayout& m_grid;
  const int m_firstRow, m_firstColumn, m_columns;
  std::vector<Cell> m_cells;
  std::optional<QColor> m_background;
  GlyphLine m_line;
  bool m_holding = false;
  QRect m_changed;  // cells changed while holding
};

}  // namespace varnel::app
