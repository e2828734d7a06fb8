// Binding the A/D library by name: a missing library or entry point is
// reported once and the calls return the library's failure values.
#include "cycle/morlex_binding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varnel {
namespace {

TEST(MorlexBinding, MissingLibraryIsReportedOnceAndCallsFail) {
  std::vector<std::string> reports;
  MorlexBinding lib("libNoSuchMorlex.so", [&](const std::string& m) { reports.push_back(m); });
  int16_t t = 0, io = 0, irq = 0;
  EXPECT_EQ(lib.AdGetCardResource(0, 0, &t, &io, &irq), -10);
  EXPECT_EQ(lib.AdAllocDataMem(0, 1000), 0u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("libNoSuchMorlex.so"), std::string::npos);
  EXPECT_TRUE(lib.Failed());
}

TEST(MorlexBinding, MissingEntryPointIsReported) {
  // The C library is always present and has no A/D entry points.
  std::vector<std::string> reports;
  MorlexBinding lib("libc.so.6", [&](const std::string& m) { reports.push_back(m); });
  EXPECT_EQ(lib.AdFreeDataMem(), -10);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("AdFreeDataMem"), std::string::npos);
}

}  // namespace
}  // namespace varnel
