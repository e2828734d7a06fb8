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

bool GlyphLine::Draw(QPainter& painter, const QFont& font, const QRect& area, const QString& text) {
  if (!Plain(text)) return false;
  if (!m_raw.isValid() || m_font != font) {
    m_font = font;
    m_raw = QRawFont::fromFont(font);
    const QFontMetricsF metrics(font);
    m_ascent = metrics.ascent();
    m_descent = metrics.descent();
  }
  const QList<quint32> glyphs = m_raw.glyphIndexesForString(text);
  if (!m_raw.isValid() || glyphs.contains(0)) return false;  // a character the font lacks
  const QList<QPointF> advances = m_raw.advancesForGlyphIndexes(glyphs);
  // Centred as QPainter::drawText centres a line: by its exact height, so
  // that an odd spare pixel puts the baseline where QLabel puts it.
  const qreal baseline = area.top() + (area.height() - (m_ascent + m_descent)) / 2 + m_ascent;
  QList<QPointF> positions;
  positions.reserve(glyphs.size());
  qreal x = area.left();
  for (const QPointF& advance : advances) {
    positions.append(QPointF(x, baseline));
    x += advance.x();
  }
  QGlyphRun run;
  run.setRawFont(m_raw);
  run.setGlyphIndexes(glyphs);
  run.setPositions(positions);
  painter.drawGlyphRun(QPointF(0, 0), run);
  return true;
}

}  // namespace varnel::app
