// Pictures drawn pixel by pixel into 8-bit indexed images with a 16-entry
// palette, so they stay 16-colour pictures however Qt later scales them.
#include "pictures.h"

#include <cstdlib>

namespace kivo {
namespace {

enum Colour : uint8_t {
  Black, Maroon, Green, Olive, Navy, Purple, Teal, Silver,
  Grey, Red, Lime, Yellow, Blue, Fuchsia, Aqua, White
};

class Canvas {
 public:
  explicit Canvas(Colour background) : m_image(kPictureSize, kPictureSize, QImage::Format_Indexed8) {
    m_image.setColorTable(SixteenColourPalette());
    m_image.fill(background);
  }
  void Dot(int x, int y, Colour c) {
    if (x >= 0 && y >= 0 && x < kPictureSize && y < kPictureSize) m_image.setPixel(x, y, c);
  }
  void Fill(int x0, int y0, int x1, int y1, Colour c) {
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) Dot(x, y, c);
    }
  }
  void Line(int x0, int y0, int x1, int y1, Colour c) {  // Bresenham
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
      Dot(x0, y0, c);
      if (x0 == x1 && y0 == y1) break;
      const int e2 = 2 * err;
      if (e2 >= dy) { err += dy; x0 += sx; }
      if (e2 <= dx) { err += dx; y0 += sy; }
    }
  }
  void Frame(int x0, int y0, int x1, int y1, Colour c) {
    Line(x0, y0, x1, y0, c);
    Line(x1, y0, x1, y1, c);
    Line(x1, y1, x0, y1, c);
    Line(x0, y1, x0, y0, c);
  }
  QImage Take() { return std::move(m_image); }

 private:
  QImage m_image;
};

// A raised button face, as a control's outline.
void Bevel(Canvas& c) {
  c.Line(0, 0, 47, 0, White);
  c.Line(0, 0, 0, 47, White);
  c.Line(47, 1, 47, 47, Black);
  c.Line(1, 47, 47, 47, Black);
  c.Line(46, 2, 46, 46, Grey);
  c.Line(2, 46, 46, 46, Grey);
}

// A letter (the message) with its flap.
void Envelope(Canvas& c, Colour paper, Colour ink) {
  c.Fill(8, 14, 39, 35, paper);
  c.Frame(8, 14, 39, 35, ink);
  c.Line(8, 14, 23, 26, ink);
  c.Line(39, 14, 24, 26, ink);
}

// The arrow of a message arriving, top left into the letter.
void Arrow(Canvas& c, Colour colour) {
  for (int i = 0; i < 3; ++i) c.Line(3 + i, 4, 14 + i, 15, colour);
  c.Fill(11, 13, 16, 14, colour);
  c.Fill(15, 9, 16, 14, colour);
}

QImage MakeUserMode() {
  Canvas c(Silver);
  Bevel(c);
  Envelope(c, White, Black);
  Arrow(c, Red);
  c.Fill(33, 38, 38, 43, Lime);  // the relay's lamp: running
  c.Frame(32, 37, 39, 44, Green);
  return c.Take();
}

QImage MakeDesignMode() {
  Canvas c(Teal);
  for (int y = 2; y < 46; y += 4) {  // design-time hatch
    for (int x = 2 + (y / 4 % 2) * 2; x < 46; x += 4) c.Dot(x, y, Aqua);
  }
  Bevel(c);
  Envelope(c, Yellow, Navy);
  Arrow(c, Blue);
  c.Fill(33, 38, 38, 43, Grey);  // the lamp is off while designing
  c.Frame(32, 37, 39, 44, Black);
  return c.Take();
}

}  // namespace

QList<QRgb> SixteenColourPalette() {
  return {qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
          qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
          qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
          qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
}

const QImage& UserModePicture() {
  static const QImage image = MakeUserMode();
  return image;
}

const QImage& DesignModePicture() {
  static const QImage image = MakeDesignMode();
  return image;
}

}  // namespace kivo
