// varnel-data plot [--shunt OHMS] [--card bipolar|unipolar] [--interval US]
//                  [--width PX] [--height PX] [-o OUT.png|-] FILE
//
// Renders a waveform snapshot file ("...Wev.dat") to a PNG: the graph of all
// its channels drawn by the measurement program's own graph code (one trace
// per channel, stacked one grid row apart, 26 rows by 8 columns), with the
// channel labels at their zero lines, a time axis (one pixel per sample,
// 80 us by default) and the height of one grid row.  With --shunt the labels
// carry each channel's peak current and the row is given in mA.  Without -o
// the picture goes beside the file ("...Wev.dat" -> "...Wev.png").

#include "plot.h"

#include <QBuffer>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QSaveFile>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "command.h"
#include "image_canvas.h"
#include "store/waveform_file.h"

namespace varnel::tools {

namespace {

const QColor kFrameBackground(24, 24, 24);
const QColor kTextColour(208, 208, 208);

std::optional<double> ParseDouble(const std::string& text) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

// One grid row in counts: 4096 counts span the picture's height.
constexpr double kRowCounts = 4096.0 / graph::kGridRows;

double CountsToMilliamps(double counts, double ohms) { return counts * 10.0 / 4096.0 / ohms * 1000.0; }

int PeakCounts(const WaveStore& waves, int channel) {
  int peak = 0;
  for (int i = 0; i < WaveStore::kSamples; ++i) peak = std::max(peak, std::abs(static_cast<int>(waves.At(i, channel))));
  return peak;
}

QString Number(double v, int decimals) { return QString::number(v, 'f', decimals); }

void DrawLabels(QPainter& p, const WaveStore& waves, const PlotOptions& o, const GraphGeometry& g) {
  QFont font = p.font();
  font.setPixelSize(11);
  p.setFont(font);
  const int w = o.width;
  const int h = o.height;

  // Title and card.
  p.setPen(kTextColour);
  p.drawText(QRect(kPlotLeft, 4, w, kPlotTop - 8), Qt::AlignLeft | Qt::AlignVCenter,
             QString::fromStdString(o.title));
  const QString card = (o.cardType == 1 ? QStringLiteral("0-2.5V card, ") : QStringLiteral("±5V card, ")) +
                       QString::number(waves.Channels()) + QStringLiteral(" channels");
  p.drawText(QRect(kPlotLeft, 4, w, kPlotTop - 8), Qt::AlignRight | Qt::AlignVCenter, card);

  // Channel labels at their zero lines, in their trace colours.
  for (int j = 0; j < waves.Channels(); ++j) {
    const int y = kPlotTop + graph::TraceY(0, j, g);
    if (y < kPlotTop || y > kPlotTop + h) continue;  // the unipolar card's upper channels lie below
    QString label = QStringLiteral("ch") + QString::number(j + 1);
    if (o.shuntOhms > 0)
      label += QStringLiteral("  ") + Number(CountsToMilliamps(PeakCounts(waves, j), o.shuntOhms), 2) +
               QStringLiteral(" mA");
    p.setPen(graph_qt::ToQColor(graph::TraceColour(j)));
    p.drawText(QRect(2, y - 7, kPlotLeft - 10, 14), Qt::AlignRight | Qt::AlignVCenter, label);
  }

  // Time axis: a tick and its time under every column line.
  p.setPen(kTextColour);
  const int axisY = kPlotTop + h;
  for (int k = 0; k <= graph::kGridColumns; ++k) {
    const double x = static_cast<double>(k) * w / graph::kGridColumns;
    const int px = kPlotLeft + static_cast<int>(std::lround(x));
    p.drawLine(px, axisY, px, axisY + 4);
    const double ms = x * o.intervalUs / 1000.0;
    p.drawText(QRect(px - 40, axisY + 5, 80, 14), Qt::AlignHCenter | Qt::AlignTop, QString::number(ms, 'g', 4));
  }
  QString scale = QStringLiteral("time in ms, ") + QString::number(o.intervalUs, 'g', 6) +
                  QStringLiteral(" µs per sample;  one row = ");
  if (o.shuntOhms > 0) {
    scale += Number(CountsToMilliamps(kRowCounts, o.shuntOhms), 3) + QStringLiteral(" mA at ") +
             QString::number(o.shuntOhms, 'g', 6) + QStringLiteral(" Ω");
  } else {
    const double voltsPerCount = (o.cardType == 1 ? 2.5 : 10.0) / 4096.0;
    scale += Number(kRowCounts, 1) + QStringLiteral(" counts = ") + Number(kRowCounts * voltsPerCount, 3) +
             QStringLiteral(" V");
  }
  p.drawText(QRect(kPlotLeft, axisY + 22, w, 16), Qt::AlignLeft | Qt::AlignVCenter, scale);
}

struct Args {
  PlotOptions options;
  std::string file;
  std::string output;
};

// Parses the arguments; false with the reason in `why`.
bool ParseArgs(const std::vector<std::string>& args, Args& a, std::string& why) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool takesValue = arg == "--shunt" || arg == "--card" || arg == "--interval" || arg == "--width" ||
                            arg == "--height" || arg == "-o";
    if (takesValue) {
      if (i + 1 >= args.size()) {
        why = arg + " needs a value";
        return false;
      }
      const std::string& v = args[++i];
      const std::optional<double> num = ParseDouble(v);
      if (arg == "-o") {
        a.output = v;
      } else if (arg == "--card") {
        if (v != "bipolar" && v != "unipolar") {
          why = "--card is bipolar or unipolar";
          return false;
        }
        a.options.cardType = v == "unipolar" ? 1 : 2;
      } else if (arg == "--shunt") {
        if (!num || *num <= 0) {
          why = "--shunt needs a resistance in ohm above 0";
          return false;
        }
        a.options.shuntOhms = *num;
      } else if (arg == "--interval") {
        if (!num || *num <= 0) {
          why = "--interval needs the time per sample in microseconds, above 0";
          return false;
        }
        a.options.intervalUs = *num;
      } else {
        if (!num || *num < 16 || *num > 8000 || *num != std::floor(*num)) {
          why = arg + " needs a whole number of pixels from 16 to 8000";
          return false;
        }
        (arg == "--width" ? a.options.width : a.options.height) = static_cast<int>(*num);
      }
    } else if (!arg.empty() && arg[0] == '-') {
      why = "unknown option \"" + arg + "\"";
      return false;
    } else if (a.file.empty()) {
      a.file = arg;
    } else {
      why = "one file only";
      return false;
    }
  }
  if (a.file.empty()) {
    why = "no file given";
    return false;
  }
  if (a.output.empty()) {
    const std::string dat = ".dat";
    const bool isDat = a.file.size() > dat.size() && a.file.compare(a.file.size() - dat.size(), dat.size(), dat) == 0;
    a.output = (isDat ? a.file.substr(0, a.file.size() - dat.size()) : a.file) + ".png";
  }
  return true;
}

}  // namespace

GraphGeometry PlotGeometry(const PlotOptions& o) {
  GraphGeometry g;
  g.width = static_cast<float>(o.width);
  g.height = static_cast<float>(o.height);
  const float base = o.cardType == 1 ? g.height : g.height / 2;
  g.zeroLineY = static_cast<int16_t>(std::nearbyint(base));
  return g;
}

QImage RenderSnapshot(const WaveStore& waves, const PlotOptions& o) {
  const GraphGeometry g = PlotGeometry(o);
  QImage picture(kPlotLeft + o.width + kPlotRight, kPlotTop + o.height + kPlotBottom, QImage::Format_RGB32);
  picture.fill(kFrameBackground);
  const QImage graphImage = graph_qt::RenderGraph(g, waves, waves.Channels());
  QPainter p(&picture);
  p.drawImage(kPlotLeft, kPlotTop, graphImage);
  DrawLabels(p, waves, o, g);
  return picture;
}

void EnsureGuiApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  // The picture is drawn in memory: never ask for a display.
  static int argc = 3;
  static char arg0[] = "varnel-data";
  static char arg1[] = "-platform";
  static char arg2[] = "offscreen";
  static char* argv[] = {arg0, arg1, arg2, nullptr};
  static QGuiApplication* app = new QGuiApplication(argc, argv);
  (void)app;
}

int RunPlot(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Args a;
  std::string why;
  if (!ParseArgs(args, a, why)) {
    err << "varnel-data plot: " << why << "\n";
    return kExitRefused;
  }
  const std::optional<WaveStore> waves = store::ReadWaveformFile(a.file, &why);
  if (!waves) {
    const bool unreadable = why.rfind("cannot ", 0) == 0;
    err << "varnel-data: " << (unreadable ? "" : a.file + " is not a waveform file: ") << why << "\n";
    return unreadable ? kExitUnreadable : kExitRefused;
  }
  if (a.options.title.empty()) a.options.title = QFileInfo(QString::fromStdString(a.file)).fileName().toStdString();

  EnsureGuiApplication();
  const QImage picture = RenderSnapshot(*waves, a.options);
  if (a.output == "-") {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, "PNG")) {
      err << "varnel-data plot: cannot encode the picture\n";
      return kExitUnreadable;
    }
    out.write(bytes.constData(), bytes.size());
    out.flush();
    return out ? kExitOk : kExitUnreadable;
  }
  // Whole or not at all: a viewer never opens a half-written picture.
  QSaveFile file(QString::fromStdString(a.output));
  if (!file.open(QIODevice::WriteOnly) || !picture.save(&file, "PNG") || !file.commit()) {
    err << "varnel-data plot: cannot write " << a.output << "\n";
    return kExitUnreadable;
  }
  out << a.output << "\n";
  return kExitOk;
}

}  // namespace varnel::tools
