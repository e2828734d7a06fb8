#include "glyph_line.h"

#include <QFontMetricsF>
#include <QGlyphRun>
#include <QPainter>

namespace varnel::app {

bool GlyphLine::Plain(const QString& text) {
  for (const QChar c : text)
    if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == u'&' || c == u'<') return false;
  return true;
}

void GlyphLine::TakeFont(const QFont& font) {
  m_font = font;
  m_raw = QRawFont::fromFont(font);
  const QFontMetricsF metrics(font);
  m_ascent = metrics.ascent();
  m_descent = metrics.descent();
  QString all;
  for (char16_t c = kFirst; c <= kLast; ++c) all.append(QChar(c));
  m_glyphOf = m_raw.glyphIndexesForString(all);
  m_advanceOf.clear();
  if (m_glyphOf.size() != all.size()) return;  // an unusable font: Draw draws nothing
  for (const QPointF& advance : m_raw.advancesForGlyphIndexes(m_glyphOf)) m_advanceOf.append(advance.x());
}

bool GlyphLine::Draw(QPainter& painter, const QFont& font, const QRect& area, const QString& text) {
  if (!Plain(text)) return false;
  if (!m_raw.isValid() || m_font != font) TakeFont(font);
  const bool complete = m_glyphOf.size() == kLast - kFirst + 1 && m_advanceOf.size() == m_glyphOf.size();
  if (!m_raw.isValid() || !complete) return false;
  // Centred as QPainter::drawText centres a line: by its exact height, so
  // that an odd spare pixel puts the baseline where QLabel puts it.
  const qreal baseline = area.top() + (area.height() - (m_ascent + m_descent)) / 2 + m_ascent;
  m_glyphs.clear();
  m_positions.clear();
  qreal x = area.left();
  for (const QChar c : text) {
    const auto i = static_cast<qsizetype>(c.unicode() - kFirst);
    if (m_glyphOf[i] == 0) return false;  // a character the font lacks
    m_glyphs.append(m_glyphOf[i]);
    m_positions.append(QPointF(x, baseline));
    x += m_advanceOf[i];
  }
  QGlyphRun run;
  run.setRawFont(m_raw);
  run.setGlyphIndexes(m_glyphs);
  run.setPositions(m_positions);
  painter.drawGlyphRun(QPointF(0, 0), run);
  return true;
}

}  // namespace varnel::app
