// varnel-web.ini's [Condition]: the insulators' limits on by default with
// the usual fractions, taken from the file where it gives them, and every
// mistake said rather than a default silently used.
#include <gtest/gtest.h>

#include <fstream>

#include "config.h"
#include "child_process.h"

namespace varnel::fleet::web {
namespace {

struct Loaded {
  bool ok = false;
  WebConfig config;
  std::vector<std::string> errors;
};

Loaded Load(const std::string& ini) {
  lw::testing::TempDir dir("lw-web-config");
  const std::string path = dir.File("varnel-web.ini");
  std::ofstream(path) << ini;
  Loaded out;
  out.ok = LoadConfigFile(path, out.config, out.errors);
  return out;
}

TEST(ConfigCondition, LimitsAreOnWithTheUsualFractionsAndTakeTheFilesValuesOrSayWhatIsWrong) {
  const Loaded plain = Load("[Alarms]\nHoldMinutes=5\n");
  ASSERT_TRUE(plain.ok);
  EXPECT_TRUE(plain.config.condition.active);
  EXPECT_EQ(plain.config.condition.fractions, (std::vector<std::optional<double>>{0.1, 0.3, 0.6}));
  EXPECT_EQ(plain.config.condition.holdSeconds, 5 * 60) << "the alarms' hold";

  const Loaded given = Load("[Condition]\nCriticalPeakMa=150\nwarning=0.25\nLeadDays=30\nMinWetDays=10\n"
                            "Confidence=0.8\n");
  ASSERT_TRUE(given.ok);
  EXPECT_EQ(given.config.condition.defaultCriticalPeakMa, 150);
  EXPECT_EQ(given.config.condition.fractions, (std::vector<std::optional<double>>{0.1, 0.25, 0.6}));
  EXPECT_EQ(given.config.condition.leadDays, 30);
  EXPECT_EQ(given.config.condition.forecast.minWetDays, 10);
  EXPECT_EQ(given.config.condition.forecast.confidence, 0.8);

  // Stages of other names have no usual fraction: without [Condition] the
  // limits stay off; with it, each stage's fraction is to be given.
  const Loaded renamed = Load("[Alarms]\nStages=low, high\n");
  ASSERT_TRUE(renamed.ok);
  EXPECT_FALSE(renamed.config.condition.active);
  const Loaded renamedGiven = Load("[Alarms]\nStages=low, high\n[Condition]\nhigh=0.5\n");
  ASSERT_TRUE(renamedGiven.ok);
  EXPECT_EQ(renamedGiven.config.condition.fractions, (std::vector<std::optional<double>>{std::nullopt, 0.5}));
  EXPECT_FALSE(Load("[Alarms]\nStages=low, high\n[Condition]\nLeadDays=3\n").ok);

  const Loaded wrong = Load("[Condition]\nActive=maybe\ndanger=much\nCriticalPeak=20\nConfidence=2\n");
  EXPECT_FALSE(wrong.ok);
  std::string all;
  for (const std::string& e : wrong.errors) all += e + "\n";
  for (const char* said : {"Active must be true or false", "danger must be a fraction", "unknown key CriticalPeak",
                           "Confidence must be a number"})
    EXPECT_NE(all.find(said), std::string::npos) << said << " in\n" << all;
}

}  // namespace
}  // namespace varnel::fleet::web
