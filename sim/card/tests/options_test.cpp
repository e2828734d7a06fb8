// The stand-in's command line and request table.
#include "options.h"

#include <gtest/gtest.h>

#include <set>

#include "requests.h"

using namespace cardsim;
using namespace morlex;

namespace {

bool Parse(std::vector<std::string> args, Options& o, std::string& error) { return ParseOptions(args, o, error); }

TEST(CardRequests, CodesFollowTheDriverFormula) {
  EXPECT_EQ(IOCTL_AD_GET_RESOURCE, 0x854B2000u);
  EXPECT_EQ(IOCTL_AD_SET_PARAM, 0x854B2004u);
  EXPECT_EQ(IOCTL_AD_START_POL, 0x854B2028u);
  EXPECT_EQ(IOCTL_AD_READ_RING, 0x854B2054u);
  EXPECT_EQ(IOCTL_AD_SET_EXTERNAL_CLOCK, 0x854B20B0u);
  std::set<uint32_t> codes;
  for (const auto& r : AllRequests()) {
    EXPECT_EQ(FindRequest(r.name), &r);
    EXPECT_EQ(FindRequestByCode(r.code), &r);
    codes.insert(r.code);
  }
  EXPECT_EQ(codes.size(), 26u);
  EXPECT_EQ(FindRequestByCode(morlex::AdRequestCode(0x808)), nullptr);  // a gap in the table
  EXPECT_EQ(FindRequest("IOCTL_AD_SET_FRQ"), nullptr);
  ASSERT_NE(FindRequest("IOCTL_AD_READ_TRG_DATA"), nullptr);
  EXPECT_EQ(FindRequest("IOCTL_AD_READ_TRG_DATA")->code, 0x854B205Cu);
}

TEST(CardRequests, BlockFieldsAtTheirOffsets) {
  std::vector<uint8_t> b(80, 0);
  b[0] = 2;
  b[2] = 0x00, b[3] = 0x03;      // io base 0x300
  b[6] = 5;                      // irq
  b[10] = 4;                     // channels
  b[12] = 3, b[14] = 2;          // list
  b[28] = 80, b[30] = 2;         // 80 us
  b[36] = 0xEC, b[37] = 0x04;    // 1260 samples
  b[48] = 0x60, b[49] = 0x27;    // 10080 bytes
  b[58] = 1, b[60] = 1;
  b[66] = 0xCC, b[67] = 0x0C;    // 3276
  b[68] = 0x33, b[69] = 0x03;    // 819
  b[70] = 3;
  const auto f = ParseBlock(b);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->cardType, 2);
  EXPECT_EQ(f->ioBase, 0x300);
  EXPECT_EQ(f->irqNumber, 5);
  EXPECT_EQ(f->channelCount, 4);
  EXPECT_EQ(f->channelList[0], 3);
  EXPECT_EQ(f->channelList[1], 2);
  EXPECT_EQ(f->samplesPerChannel, 1260u);
  EXPECT_EQ(f->bufferBytes, 10080u);
  EXPECT_EQ(f->extStartTrigger, 1);
  EXPECT_EQ(f->extStopTrigger, 1);
  EXPECT_EQ(f->limitHighCode, 3276);
  EXPECT_EQ(f->limitLowCode, 819);
  EXPECT_EQ(f->limitMode, 3);
  EXPECT_DOUBLE_EQ(*IntervalSeconds(*f), 80e-6);
  EXPECT_FALSE(ParseBlock(std::span(b).first(79)));
  AdParamBlock z = *f;
  z.intervalValue = 0;
  EXPECT_FALSE(IntervalSeconds(z));
  z.intervalValue = 5;
  z.intervalUnit = 3;
  EXPECT_FALSE(IntervalSeconds(z));
}

TEST(CardOptions, ResourcesAndFaultsByName) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--type", "1", "--io-base", "0x300", "--irq", "5", "--fail", "IOCTL_AD_SET_FREQ", "--fail",
                     "IOCTL_AD_READ_RING=1117", "--status", "IOCTL_AD_SET_PARAM=5", "--short-reply",
                     "IOCTL_AD_GET_RESOURCE", "--oversize-reply", "IOCTL_AD_START_POL", "--bad-card-type", "3",
                     "--end-early", "2500", "--ring-waiting", "99", "--test-pend", "never", "--groups", "4",
                     "--freq", "60", "--seed", "42", "--profile", "sine:100", "--instant", "--hang-after",
                     "700", "--hang-for", "90000"},
                    o, error))
      << error;
  EXPECT_EQ(o.cardType, 1);
  EXPECT_EQ(o.ioBase, 0x300);
  EXPECT_EQ(o.irq, 5);
  EXPECT_EQ(o.fail.at(IOCTL_AD_SET_FREQ), 31u);
  EXPECT_EQ(o.fail.at(IOCTL_AD_READ_RING), 1117u);
  EXPECT_EQ(o.status.at(IOCTL_AD_SET_PARAM), 5u);
  EXPECT_EQ(o.shortReply.count(IOCTL_AD_GET_RESOURCE), 1u);
  EXPECT_EQ(o.oversizeReply.count(IOCTL_AD_START_POL), 1u);
  EXPECT_EQ(o.reportedCardType, 3u);
  EXPECT_EQ(o.endEarly, 2500u);
  EXPECT_EQ(o.ringWaiting, 99u);
  EXPECT_FALSE(o.testPendMs);
  EXPECT_EQ(o.groups, 4);
  EXPECT_EQ(o.profile.kind, ProfileKind::Sine);
  EXPECT_EQ(o.profile.powerHz, 60);
  EXPECT_EQ(o.profile.seed, 42u);
  EXPECT_TRUE(o.instant);
  EXPECT_EQ(o.hangAfter, 700u);
  EXPECT_EQ(o.hangForMs, 90000u);

  Options d;
  ASSERT_TRUE(Parse({"--io-base", "768"}, d, error));
  EXPECT_EQ(d.ioBase, 0x300);
  EXPECT_EQ(d.cardType, 2);
  EXPECT_EQ(d.profile.kind, ProfileKind::Insulators);
  EXPECT_FALSE(d.hangForMs);
}

TEST(CardOptions, BadCommandLinesSayWhy) {
  const std::vector<std::vector<std::string>> bad = {
      {"--type", "3"},           {"--type", "0"},
      {"--io-base", "0x10000"},  {"--io-base", "0x"},
      {"--irq"},                 {"--fail", "IOCTL_AD_SET_FRQ"},
      {"--fail", "IOCTL_AD_SET_FREQ=0"}, {"--fail", "IOCTL_AD_SET_FREQ=997"},
      {"--status", "IOCTL_AD_SET_PARAM"}, {"--status", "IOCTL_AD_START_POL=1"},
      {"--groups", "3"},         {"--freq", "55"},
      {"--profile", "pink"},     {"--pol-immediate", "--pol-never"},
      {"--test-pend", "soon"},   {"--unknown"},
      {"--device-dir", ""},      {"--trace", ""},           {"--trace"},
      {"--hang-for", "0"},       {"--hang-for", "86400001"},
      {"--hang-after", "5"},  // a hang needs its length
  };
  for (const auto& args : bad) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(args, o, error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(CardOptions, HelpNamesEveryOption) {
  const std::string help = HelpText();
  for (const char* opt : {"--type", "--io-base", "--irq", "--fail", "--status", "--pol-immediate", "--pol-never",
                          "--exit-during-acquisition", "--bad-card-type", "--short-reply", "--oversize-reply",
                          "--end-early", "--instant", "--ring-waiting", "--profile", "--freq", "--groups", "--seed",
                          "--start-delay", "--test-pend", "--device-dir", "--hang-for", "--hang-after",
                          "--trace", "QDA7100_DEVICE_DIR"})
    EXPECT_NE(help.find(opt), std::string::npos) << opt;
}

}  // namespace
