// One line of plain ASCII text (the values of the window: digits, signs,
// points, blanks) painted straight from the font's glyphs.  QPainter::drawText
// and QLabel lay a text out and shape it anew on every paint; a value that
// changes every cycle needs none of that.  The glyphs land on the pixels
// QLabel gives a left-aligned, vertically centred line.
#pragma once

#include <QFont>
#include <QList>
#include <QPointF>
#include <QRawFont>
#include <QRect>
#include <QString>

class QPainter;

namespace varnel::app {

class GlyphLine {
 public:
  // True when `text` is plain enough for Draw: printable ASCII, nothing a
  // label would treat as markup or a mnemonic.
  static bool Plain(const QString& text);

  // Draws `text` left-aligned and vertically centred in `area` with the
  // painter's pen.  False, with nothing drawn, when the text is not plain or
  // the font lacks one of its characters.
  bool Draw(QPainter& painter, const QFont& font, const QRect& area, const QString& text);

 private:
  // The font's glyph and advance of every printable ASCII character, looked
  // up once per font: a value is then its characters' entries.
  void TakeFont(const QFont& font);

  static constexpr char16_t kFirst = 0x20;
  static constexpr char16_t kLast = 0x7E;
  QFont m_font;
  QRawFont m_raw;
  qreal m_ascent = 0;
  qreal m_descent = 0;
  QList<quint32> m_glyphOf;   // per character from kFirst; 0: the font has none
  QList<qreal> m_advanceOf;   // per character from kFirst
  QList<quint32> m_glyphs;    // the line being drawn
  QList<QPointF> m_positions;
};

}  // namespace varnel::app
