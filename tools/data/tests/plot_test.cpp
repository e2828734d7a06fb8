// varnel-data plot: the picture's graph is the window's graph pixel for
// pixel, traces land on pixels worked out from the geometry (1000 x 330,
// bipolar baseline 165, grid rows of 12.6923 pixels), and the command
// handles its arguments and files like the other subcommands.
#include <QImage>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "child_process.h"
#include "command.h"
#include "image_canvas.h"
#include "plot.h"
#include "store/waveform_file.h"
#include "synthetic_wave.h"

namespace varnel::tools {
namespace {

namespace fs = std::filesystem;

using lw::testing::TempDir;

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

Outcome Plot(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  Outcome o;
  o.code = RunPlot(args, out, err);
  o.out = out.str();
  o.err = err.str();
  return o;
}

QColor At(const QImage& image, int graphX, int graphY) {
  return image.pixelColor(kPlotLeft + graphX, kPlotTop + graphY);
}

const QColor kLightRed(255, 0, 0);
const QColor kYellow(255, 255, 0);
const QColor kGrey(128, 128, 128);

class PlotTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureGuiApplication(); }
};

TEST_F(PlotTest, GraphAreaIsTheWindowsGraphPixelForPixel) {
  const WaveStore waves = testing::SyntheticSweep(16);
  PlotOptions o;
  o.shuntOhms = 330;
  const QImage picture = RenderSnapshot(waves, o);
  ASSERT_EQ(picture.size(), QSize(kPlotLeft + 1000 + kPlotRight, kPlotTop + 330 + kPlotBottom));
  const GraphGeometry g = PlotGeometry(o);
  EXPECT_EQ(g.zeroLineY, 165);
  EXPECT_EQ(picture.copy(kPlotLeft, kPlotTop, 1000, 330), graph_qt::RenderGraph(g, waves, 16));
  o.cardType = 1;
  EXPECT_EQ(PlotGeometry(o).zeroLineY, 330);
}

TEST_F(PlotTest, TracesLandOnTheirComputedPixels) {
  WaveStore waves(4);
  for (int i = 0; i < WaveStore::kSamples; ++i) waves.Set(i, 2, 1024);
  const QImage picture = RenderSnapshot(waves, PlotOptions{});
  EXPECT_EQ(At(picture, 300, 63), kLightRed);  // channel 0 on grid line 5
  EXPECT_EQ(At(picture, 300, 7), kYellow);     // channel 2: 88.85 - 82 = 6.85
  // Its label sits left of the graph at its zero line, in its colour.
  int reddish = 0;
  for (int x = 0; x < kPlotLeft; ++x)
    for (int y = kPlotTop + 57; y < kPlotTop + 70; ++y) {
      const QColor c = picture.pixelColor(x, y);
      reddish += c.red() > 160 && c.green() < 80 && c.blue() < 80;
    }
  EXPECT_GT(reddish, 3);
}

TEST_F(PlotTest, WiderPictureStillDrawsAtMost1001PointsPerTrace) {
  PlotOptions o;
  o.width = 1200;
  o.height = 660;
  const QImage picture = RenderSnapshot(WaveStore(4), o);
  ASSERT_EQ(picture.size(), QSize(kPlotLeft + 1200 + kPlotRight, kPlotTop + 660 + kPlotBottom));
  // Channel 0's zero line is grid line 5 at 126.92 -> 127: the trace ends at
  // x 1000, the grey grid line goes on.
  EXPECT_EQ(At(picture, 999, 127), kLightRed);
  EXPECT_EQ(At(picture, 1100, 127), kGrey);
}

TEST_F(PlotTest, WritesThePictureOfTheFileAndNamesIt) {
  TempDir dir;
  const WaveStore waves = testing::SyntheticSweep(8);
  const std::string name = testing::PeakSnapshotName(waves);
  const std::string file = dir.File(name);
  ASSERT_TRUE(store::WriteWaveformFile(file, waves));

  const std::string png = dir.File("out.png");
  const Outcome r = Plot({"--shunt", "330", "-o", png, file});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(r.out, png + "\n");
  QImage written(QString::fromStdString(png));
  ASSERT_FALSE(written.isNull());
  PlotOptions o;
  o.shuntOhms = 330;
  o.title = name;
  EXPECT_EQ(written.convertToFormat(QImage::Format_RGB32), RenderSnapshot(waves, o));

  // Without -o the picture goes beside the file, ".dat" becoming ".png".
  const Outcome beside = Plot({file});
  ASSERT_EQ(beside.code, kExitOk) << beside.err;
  const std::string expected = file.substr(0, file.size() - 4) + ".png";
  EXPECT_EQ(beside.out, expected + "\n");
  EXPECT_TRUE(fs::exists(expected));
}

TEST_F(PlotTest, DashWritesThePngToStandardOutput) {
  TempDir dir;
  const std::string file = dir.File("aWev.dat");
  ASSERT_TRUE(store::WriteWaveformFile(file, WaveStore(4)));
  const Outcome r = Plot({"-o", "-", file});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  ASSERT_GT(r.out.size(), 8u);
  EXPECT_EQ(r.out.substr(0, 4), "\x89PNG");
}

TEST_F(PlotTest, BadArgumentsAreRefusedWithAReason) {
  TempDir dir;
  const std::string file = dir.File("aWev.dat");
  ASSERT_TRUE(store::WriteWaveformFile(file, WaveStore(4)));
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"--shunt", "0", file},
      {"--shunt", "abc", file},
      {"--shunt"},
      {"--card", "tripolar", file},
      {"--width", "10", file},
      {"--height", "330.5", file},
      {"--interval", "-80", file},
      {"--colour", file},
      {file, file},
  };
  for (const auto& args : refused) {
    const Outcome r = Plot(args);
    EXPECT_EQ(r.code, kExitRefused) << (args.empty() ? std::string("(none)") : args[0]);
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_FALSE(fs::exists(dir.File("aWev.png")));
}

TEST_F(PlotTest, UnreadableOrForeignFilesAndUnwritablePicturesFail) {
  TempDir dir;
  EXPECT_EQ(Plot({dir.File("missingWev.dat")}).code, kExitUnreadable);
  const std::string junk = dir.File("junkWev.dat");
  std::ofstream(junk) << "not a waveform";
  EXPECT_EQ(Plot({junk}).code, kExitRefused);
  EXPECT_FALSE(fs::exists(dir.File("junkWev.png")));

  const std::string file = dir.File("aWev.dat");
  ASSERT_TRUE(store::WriteWaveformFile(file, WaveStore(4)));
  const Outcome r = Plot({"-o", dir.File("no/such/folder.png"), file});
  EXPECT_EQ(r.code, kExitUnreadable);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos);
}

TEST_F(PlotTest, TheProgramDrawsWithoutAnyDisplay) {
  TempDir dir;
  const std::string file = dir.File("aWev.dat");
  ASSERT_TRUE(store::WriteWaveformFile(file, testing::SyntheticSweep(4)));
  const std::string png = dir.File("a.png");
  const lw::testing::ScopedEnv noPlatform("QT_QPA_PLATFORM", nullptr);
  const lw::testing::ScopedEnv noX("DISPLAY", nullptr);
  const lw::testing::ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
  const lw::testing::ProgramRun run =
      lw::testing::RunProgram(lw::testing::BinDir() / "varnel-data", {"plot", "-o", png, file});
  ASSERT_EQ(run.status, 0) << run.output;
  const QImage written(QString::fromStdString(png));
  EXPECT_EQ(written.size(), QSize(kPlotLeft + 1000 + kPlotRight, kPlotTop + 330 + kPlotBottom));
}

}  // namespace
}  // namespace varnel::tools
