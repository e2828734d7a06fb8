// The graph rendered with QPainter offscreen: pixel colours at positions
// worked out from the picture geometry (1000 x 330, bipolar baseline 165,
// grid rows of 330 / 26 = 12.6923 pixels), the persistent picture of the
// widget, and the save dialog's set-up.
#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QPixmap>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "export_dialog.h"
#include "graph_painter.h"
#include "graph_view.h"
#include "image_canvas.h"
#include "text/numforms.h"

namespace varnel {
namespace {

using app::GraphView;

QApplication& App() {
  static int argc = 1;
  static char name[] = "graph_qt_test";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

QColor At(const QImage& image, int x, int y) { return image.pixelColor(x, y); }

const QColor kBlack(0, 0, 0);
const QColor kGrey(128, 128, 128);
const QColor kLightRed(255, 0, 0);
const QColor kLightMagenta(255, 0, 255);
const QColor kYellow(255, 255, 0);
const QColor kWhite(255, 255, 255);

// Four channels: 0 silent; 1 a step from -1024 to +1024 counts at sample 500;
// 2 silent but samples 400..409 over range (4096); 3 a steady 1000 counts.
MeasureState KnownSweep() {
  MeasureState s;
  s.card.cardType = 2;
  s.graph = {1000.0f, 330.0f, 165};
  s.groupCount = 1;
  s.waves.Reset(4);
  for (int i = 0; i < WaveStore::kSamples; ++i) {
    s.waves.Set(i, 1, static_cast<int16_t>(i < 500 ? -1024 : 1024));
    s.waves.Set(i, 2, static_cast<int16_t>(i >= 400 && i < 410 ? 4096 : 0));
    s.waves.Set(i, 3, 1000);
  }
  return s;
}

TEST(GraphImage, KnownSweepLandsOnComputedPixelsInItsColours) {
  App();
  const MeasureState s = KnownSweep();
  const QImage img = graph_qt::RenderGraph(s.graph, s.waves, 4);
  ASSERT_EQ(img.size(), QSize(1000, 330));

  // Channel 0 on its zero line, grid line 5 (63.46 -> 63), across to x 999.
  EXPECT_EQ(At(img, 10, 63), kLightRed);
  EXPECT_EQ(At(img, 999, 63), kLightRed);
  // Channel 1: zero line 76.15; -1024 counts = 82.5 -> 82 pixels below (158),
  // +1024 counts 82 above (-5.85 -> -6, outside the picture).
  EXPECT_EQ(At(img, 200, 158), kLightMagenta);
  EXPECT_EQ(At(img, 450, 158), kLightMagenta);
  EXPECT_TRUE(At(img, 499, 100) == kLightMagenta || At(img, 500, 100) == kLightMagenta);  // rising edge
  EXPECT_EQ(At(img, 700, 158), kBlack);
  // Channel 2: zero line 88.85 -> 89; over range 165 below: 253.85 -> 254.
  EXPECT_EQ(At(img, 300, 89), kYellow);
  EXPECT_EQ(At(img, 405, 254), kYellow);
  EXPECT_NE(At(img, 405, 89), kYellow);
  // Channel 3: zero line 101.54; 1000 counts = 80.57 -> 81 above: 20.54 -> 21.
  EXPECT_EQ(At(img, 600, 21), kWhite);
  // Grid: row line 1 at 12.69 -> 13, column line 1 at x 125; background between.
  EXPECT_EQ(At(img, 40, 13), kGrey);
  EXPECT_EQ(At(img, 125, 300), kGrey);
  EXPECT_EQ(At(img, 40, 300), kBlack);
}

// The picture drawn the plain way, pixel by pixel: background, the grid's
// rows and columns at their nearest pixels, then every trace's segments as
// two vertical runs split half way, from TraceY of every sample.
QImage PlainPicture(const GraphGeometry& g, const WaveStore& waves, int channels, QSize size) {
  QImage img(size, QImage::Format_RGB32);
  img.fill(kBlack);
  const auto put = [&img](long long x, long long y, QRgb c) {
    if (x >= 0 && x < img.width() && y >= 0 && y < img.height()) img.setPixel(int(x), int(y), c);
  };
  const auto px = [](float v) { return static_cast<long long>(text::RoundHalfEven(v)); };
  for (const graph::GridLine& l : graph::GridLines(g))
    for (long long y = px(l.y1); y <= px(l.y2); ++y)
      for (long long x = px(l.x1); x <= px(l.x2); ++x) put(x, y, kGrey.rgb());
  const int n = graph::PointCount(g.width);
  for (int j = 0; j < channels && waves.Holds(j) && n > 0; ++j) {
    const QRgb c = graph_qt::ToQColor(graph::TraceColour(j)).rgb();
    const auto run = [&](long long x, long long a, long long b) {
      for (long long y = std::min(a, b); y <= std::max(a, b); ++y) put(x, y, c);
    };
    for (int i = 0; i + 1 < n; ++i) {
      const long long y0 = graph::TraceY(waves.At(i, j), j, g);
      const long long y1 = graph::TraceY(waves.At(i + 1, j), j, g);
      const long long half = (y1 - y0) / 2;
      run(i, y0, y0 + half);
      if (y1 != y0) run(i + 1, y0 + half + (y1 > y0 ? 1 : -1), y1);
    }
    const long long last = graph::TraceY(waves.At(n - 1, j), j, g);
    run(n - 1, last, last);
  }
  return img;
}

// Sixteen channels of random card counts (raw codes 0 .. 8191), with runs
// of the extremes and of int16 values no card delivers.
WaveStore RandomSweep(unsigned seed) {
  WaveStore w(16);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> code(0, 8191);
  std::uniform_int_distribution<int> any(-32768, 32767);
  const int16_t extremes[] = {-2048, 2047, 2048, 6143, -32768, 32767, 4095, 4096, -1};
  for (int j = 0; j < 16; ++j)
    for (int i = 0; i < WaveStore::kSamples; ++i) {
      int v = code(rng) - 2048;
      if (j % 4 == 1) v = extremes[(i / 7) % 9];
      if (j % 4 == 2 && i % 5 == 0) v = any(rng);
      if (j % 4 == 3) v = static_cast<int>(400 * std::sin(i * 0.07 + j)) + code(rng) % 40;
      w.Set(i, j, static_cast<int16_t>(v));
    }
  return w;
}

// Sixteen channels that hardly move (a few counts about `level`), as a
// quiet insulator gives: each trace is a line a few rows high.
WaveStore QuietSweep(unsigned seed, int level) {
  WaveStore w(16);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-6, 6);
  for (int j = 0; j < 16; ++j)
    for (int i = 0; i < WaveStore::kSamples; ++i) w.Set(i, j, static_cast<int16_t>(level + noise(rng)));
  return w;
}

// The window's picture and the snapshot pictures must stay the plain
// drawing's pixels exactly, however the drawing is made fast: sweep after
// sweep on one picture (wild and quiet ones, the picture written by
// something else in between), after the geometry changes, and on new
// pictures.
TEST(GraphImage, EveryPictureEqualsThePlainPixelByPixelDrawing) {
  App();
  const GraphGeometry bipolar{1000.0f, 330.0f, 165};
  const GraphGeometry unipolar{1000.0f, 330.0f, 330};
  const GraphGeometry lower{1000.0f, 300.0f, 150};  // another grid on the same picture
  QImage window(1000, 330, QImage::Format_RGB32);
  graph_qt::ImageCanvas canvas(window);
  graph::GraphPlotter plotter(canvas);
  unsigned seed = 1;
  for (const GraphGeometry& g : {bipolar, bipolar, unipolar, lower, bipolar, unipolar}) {
    const WaveStore w = RandomSweep(seed++);
    for (int channels : {16, 5}) {
      plotter.Plot(g, w, channels);
      ASSERT_EQ(window, PlainPicture(g, w, channels, window.size())) << "seed " << seed << " channels " << channels;
    }
    for (int level : {0, 300, -250}) {
      const WaveStore quiet = QuietSweep(seed++, level);
      plotter.Plot(g, quiet, 16);
      ASSERT_EQ(window, PlainPicture(g, quiet, 16, window.size())) << "seed " << seed << " level " << level;
    }
    // A stray write outside the canvas is gone at the next sweep.
    window.setPixel(500, 7, qRgb(1, 2, 3));
  }
  // New pictures of other sizes: narrower, and wider than the 1001 points.
  for (const GraphGeometry& g : {GraphGeometry{640.0f, 200.0f, 100}, GraphGeometry{1200.0f, 400.0f, 400}}) {
    const WaveStore w = RandomSweep(seed++);
    const QImage img = graph_qt::RenderGraph(g, w, 16);
    EXPECT_EQ(img, PlainPicture(g, w, 16, img.size())) << g.width;
  }
}

// The rows a sweep changes are the rows the canvas says it changed: the
// picture is shown anew only there.  Quiet traces change a few rows; a
// picture written by something else is shown whole.
TEST(GraphImage, RefreshTellsEveryRowTheSweepChanged) {
  App();
  const GraphGeometry g{1000.0f, 330.0f, 165};
  QImage window(1000, 330, QImage::Format_RGB32);
  graph_qt::ImageCanvas canvas(window);
  QRegion told;
  canvas.onRefresh = [&told](const QRegion& changed) { told = changed; };
  graph::GraphPlotter plotter(canvas);
  const auto changedRows = [](const QImage& before, const QImage& after) {
    std::vector<int> rows;
    for (int y = 0; y < after.height(); ++y)
      if (std::memcmp(before.constScanLine(y), after.constScanLine(y), static_cast<std::size_t>(after.bytesPerLine())) != 0)
        rows.push_back(y);
    return rows;
  };
  const auto toldRows = [&told] {
    std::vector<int> rows;
    for (int y = 0; y < 330; ++y)
      if (told.contains(QRect(0, y, 1000, 1))) rows.push_back(y);
    return rows;
  };
  plotter.Plot(g, QuietSweep(1, 0), 16);
  EXPECT_EQ(told, QRegion(0, 0, 1000, 330));  // the first drawing: all of it
  unsigned seed = 2;
  for (int level : {0, 40, -300, -300, 2000}) {
    const QImage before = window.copy();
    plotter.Plot(g, QuietSweep(seed++, level), 16);
    const std::vector<int> changed = changedRows(before, window);
    const std::vector<int> shown = toldRows();
    EXPECT_TRUE(std::includes(shown.begin(), shown.end(), changed.begin(), changed.end())) << level;
    EXPECT_LT(shown.size(), 330u / 3) << level;  // the traces' rows and the ones they left
    EXPECT_EQ(told.boundingRect().width(), 1000);
  }
  window.fill(Qt::blue);
  plotter.Plot(g, QuietSweep(seed, 0), 16);
  EXPECT_EQ(told, QRegion(0, 0, 1000, 330));
}

TEST(GraphImage, TraceIsVerticalRunsSplitHalfWayBetweenItsPoints) {
  App();
  QImage img(6, 20, QImage::Format_RGB32);
  graph_qt::ImageCanvas canvas(img);
  canvas.Clear();
  // Rises of 4, 0 and -7, then far off the picture upwards and downwards.
  const graph::GraphPoint trace[] = {{0, 5}, {1, 9}, {2, 9}, {3, 2}, {4, -100}, {5, 1000}};
  canvas.Polyline(trace, {255, 255, 0});
  canvas.Refresh();
  const std::vector<std::vector<int>> lit = {
      {5, 6, 7},           // 5 to half way down to 9
      {8, 9},              // the rest, and 9 to 9
      {6, 7, 8, 9},        // 9 half way up to 2 (7 rows, the smaller half here)
      {0, 1, 2, 3, 4, 5},  // the rest of that, and 2 upwards off the picture
      {},                  // filled in below: -100 to 1000 crosses every row
      {},                  // the rest lies below the picture
  };
  for (int x = 0; x < 6; ++x) {
    for (int y = 0; y < 20; ++y) {
      const bool want = x == 4 || std::find(lit[x].begin(), lit[x].end(), y) != lit[x].end();
      EXPECT_EQ(At(img, x, y) == kYellow, want) << x << "," << y;
    }
  }

  // A grid line: the whole row; a polyline that is no trace: still drawn.
  canvas.Clear();
  canvas.Line({0, 3, 6, 3}, {128, 128, 128});
  const graph::GraphPoint jump[] = {{0, 10}, {5, 10}};
  canvas.Polyline(jump, {255, 255, 255});
  canvas.Refresh();
  for (int x = 0; x < 6; ++x) EXPECT_EQ(At(img, x, 3), kGrey) << x;
  EXPECT_EQ(At(img, 2, 10), kWhite);
}

TEST(GraphImage, PlotDataClearsTheOldTracesFirst) {
  App();
  GraphView view;
  MeasureState s = KnownSweep();
  PolModeForm form = MakeDesignForm();
  app::GraphPainter painter(view, form, s);
  painter.PlotData();
  QCoreApplication::processEvents();
  ASSERT_EQ(At(view.Image(), 600, 21), kWhite);
  // Channel 3 goes silent: its old line is gone, its new one on row 8.
  for (int i = 0; i < WaveStore::kSamples; ++i) s.waves.Set(i, 3, 0);
  painter.PlotData();
  QCoreApplication::processEvents();
  EXPECT_EQ(At(view.Image(), 600, 21), kBlack);
  EXPECT_EQ(At(view.Image(), 600, 102), kWhite);
}

TEST(GraphImage, UpdateSwitchedOffLeavesTheImageUntouched) {
  App();
  GraphView view;
  const MeasureState s = KnownSweep();
  PolModeForm form = MakeDesignForm();
  app::GraphPainter painter(view, form, s);
  painter.DrawScale();
  const QImage before = view.Image().copy();
  ASSERT_EQ(At(before, 125, 300), kGrey);
  form.Check2.checked = false;
  painter.PlotData();
  QCoreApplication::processEvents();
  EXPECT_EQ(view.Image(), before);
}

// The sweep's traces are drawn once the handler that asked for them has
// returned, from the waves as they are then; a scale drawn in between
// still replaces them, as it did when they were drawn at once; a painter
// gone before that draws nothing.
TEST(GraphImage, PlotDataDrawsOnceTheHandlerHasReturned) {
  App();
  GraphView view;
  MeasureState s = KnownSweep();
  PolModeForm form = MakeDesignForm();
  const QImage blank = view.Image().copy();
  {
    app::GraphPainter painter(view, form, s);
    painter.PlotData();
    painter.PlotData();  // asked twice in one handler: drawn once
    EXPECT_EQ(view.Image(), blank);
    QCoreApplication::processEvents();
    EXPECT_EQ(At(view.Image(), 600, 21), kWhite);
    const QImage traces = view.Image().copy();
    // Drawn again only when asked again.
    view.Image().fill(Qt::blue);
    QCoreApplication::processEvents();
    EXPECT_EQ(At(view.Image(), 600, 21), QColor(Qt::blue));
    view.Image() = blank.copy();
    painter.PlotData();
    painter.DrawScale();
    QCoreApplication::processEvents();
    EXPECT_EQ(At(view.Image(), 600, 21), kBlack);
    EXPECT_EQ(At(view.Image(), 125, 300), kGrey);
    painter.PlotData();
    QCoreApplication::processEvents();
    EXPECT_EQ(view.Image(), traces);
    view.Image() = blank.copy();
    painter.PlotData();
  }
  QCoreApplication::processEvents();
  EXPECT_EQ(view.Image(), blank);
}

TEST(GraphImage, DrawScaleDrawsOverWhatThePictureShows) {
  App();
  GraphView view;
  view.Image().fill(QColor(0, 0, 255));
  const MeasureState s = KnownSweep();
  PolModeForm form = MakeDesignForm();
  app::GraphPainter(view, form, s).DrawScale();
  EXPECT_EQ(At(view.Image(), 125, 300), kGrey);
  EXPECT_EQ(At(view.Image(), 40, 300), QColor(0, 0, 255));
}

TEST(GraphPicture, ShowsTheSameGraphEveryTimeItIsPainted) {
  App();
  GraphView view;
  const MeasureState s = KnownSweep();
  PolModeForm form = MakeDesignForm();
  app::GraphPainter painter(view, form, s);
  painter.PlotData();
  QCoreApplication::processEvents();
  ASSERT_EQ(At(view.Image(), 600, 21), kWhite);
  view.show();
  const QImage first = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  // Covered and uncovered: the widget paints anew from the same image.
  view.hide();
  view.show();
  view.update();
  const QImage second = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(first, second);
  const int b = GraphView::kBorder;
  EXPECT_EQ(first.copy(b, b, GraphView::kWidth, GraphView::kHeight), view.Image());
}

TEST(SaveDialog, OffersBothFiltersAsksBeforeOverwritingAndAddsNoSuffix) {
  App();
  graph::SaveDialogRequest r;
  r.filters = graph::ParseDialogFilter(graph::kCsvDialogFilter);
  r.initialFolder = "/tmp";
  QFileDialog dialog;
  app::QtSaveFileDialog::Configure(dialog, r);
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(dialog.nameFilters(),
            (QStringList{QStringLiteral("CSV files{*.csv} (*.csv)"), QStringLiteral("All files{*.*} (*.*)")}));
  EXPECT_FALSE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
  EXPECT_TRUE(dialog.defaultSuffix().isEmpty());
  EXPECT_EQ(dialog.directory().absolutePath(), QStringLiteral("/tmp"));
}

TEST(SaveDialog, TheChosenFileOrNothingWhenCancelled) {
  App();
  graph::SaveDialogRequest r;
  r.filters = graph::ParseDialogFilter(graph::kCsvDialogFilter);
  app::QtSaveFileDialog dialog;
  dialog.run = [](QFileDialog& d) {
    d.selectFile(QStringLiteral("/tmp/wave"));
    return static_cast<int>(QDialog::Accepted);
  };
  EXPECT_EQ(dialog.AskSavePath(r), std::optional<std::string>("/tmp/wave"));  // no ".csv" added
  dialog.run = [](QFileDialog&) { return static_cast<int>(QDialog::Rejected); };
  EXPECT_EQ(dialog.AskSavePath(r), std::nullopt);
  // Without a screen and without an answer the export is simply cancelled.
  app::QtSaveFileDialog unattended;
  EXPECT_EQ(unattended.AskSavePath(r), std::nullopt);
}

}  // namespace
}  // namespace varnel
