// The real site lock against real processes: a holder of the lock in the
// site folder is found and ended; a pid that does not hold the lock, a pid
// that has ended, and a holder working in another folder are never touched.
#include "site_lock.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>

#include "child_process.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using lw::testing::BinDir;
using lw::testing::ChildProcess;
using lw::testing::TempDir;
using namespace std::chrono_literals;

class SiteLockTest : public ::testing::Test {
 protected:
  fs::path LockFile() const { return site_.Path() / "Varnel.lock"; }

  // A process holding the site's lock, working in `cwd`.
  std::unique_ptr<ChildProcess> StartHolder(const fs::path& cwd, bool ignoreTerm = false) {
    std::vector<std::string> args{LockFile().string()};
    if (ignoreTerm) args.push_back("--ignore-term");
    auto holder = std::make_unique<ChildProcess>(BinDir() / "tessik-lock-holder", args,
                                                 lw::testing::ChildOptions{.workingDir = cwd, .environment = {}});
    EXPECT_TRUE(holder->WaitForOutput("holding", 10s)) << holder->Output();
    return holder;
  }

  // A process of the site that holds no lock.
  std::unique_ptr<ChildProcess> StartBystander() {
    return std::make_unique<ChildProcess>("/bin/sleep", std::vector<std::string>{"600"},
                                          lw::testing::ChildOptions{.workingDir = site_.Path(), .environment = {}});
  }

  void RecordPid(const std::string& text) {
    // Rewritten in place: the holder's open file stays this very file.
    std::ofstream(LockFile(), std::ios::in | std::ios::out | std::ios::trunc) << text;
  }

  LockInspection ExpectUnproven(const std::string& why) {
    ProcSiteLock lock(site_.Path());
    LockInspection found = lock.Inspect();
    EXPECT_EQ(found.state, LockInspection::State::Unproven);
    EXPECT_EQ(found.holder, nullptr);
    EXPECT_EQ(found.why, why);
    EXPECT_TRUE(lock.Held());
    return found;
  }

  TempDir site_{"tessik-site"};
};

TEST_F(SiteLockTest, StoppedHolderInTheSiteFolderIsFoundAndEndedBySigterm) {
  ProcSiteLock lock(site_.Path());
  EXPECT_EQ(lock.Inspect().state, LockInspection::State::Free) << "no lock file yet";
  EXPECT_FALSE(lock.Held());

  auto holder = StartHolder(site_.Path());
  holder->Signal(SIGSTOP);  // hung as by kill -STOP
  LockInspection found = lock.Inspect();
  ASSERT_EQ(found.state, LockInspection::State::SiteProgram) << found.why;
  ASSERT_NE(found.holder, nullptr);
  EXPECT_EQ(found.holder->Pid(), holder->Pid());
  EXPECT_TRUE(lock.Held());

  std::string why;
  ASSERT_TRUE(found.holder->Terminate(why)) << why;
  EXPECT_EQ(holder->WaitForExit(10s), 128 + SIGTERM) << "SIGCONT lets the stopped holder act on SIGTERM";
  EXPECT_FALSE(lock.Held());
  EXPECT_EQ(lock.Inspect().state, LockInspection::State::Free) << "the file with the old pid stays";
  // The handle refers to the ended process only: a later signal reaches nobody.
  EXPECT_TRUE(found.holder->Kill(why)) << why;
}

TEST_F(SiteLockTest, HolderIgnoringSigtermEndsBySigkill) {
  auto holder = StartHolder(site_.Path(), true);
  ProcSiteLock lock(site_.Path());
  LockInspection found = lock.Inspect();
  ASSERT_EQ(found.state, LockInspection::State::SiteProgram) << found.why;
  std::string why;
  ASSERT_TRUE(found.holder->Terminate(why)) << why;
  ASSERT_TRUE(found.holder->Kill(why)) << why;
  EXPECT_EQ(holder->WaitForExit(10s), 128 + SIGKILL);
}

TEST_F(SiteLockTest, PidOfAProcessWithoutTheLockIsNeverSignalled) {
  auto holder = StartHolder(site_.Path());
  // The recorded pid now names another process of the site folder, as when
  // a pid is reused: it holds no lock and is left alone, and so is the
  // holder, whose pid the file no longer names.
  auto bystander = StartBystander();
  RecordPid(std::to_string(bystander->Pid()) + "\n");
  ExpectUnproven("pid " + std::to_string(bystander->Pid()) + " はロックを持っていません");
  EXPECT_FALSE(bystander->WaitForExit(0ms).has_value());
  EXPECT_FALSE(holder->WaitForExit(0ms).has_value());
}

TEST_F(SiteLockTest, EndedPidAndMissingPidAreNeverSignalled) {
  auto holder = StartHolder(site_.Path());
  auto ended = StartBystander();
  const pid_t endedPid = ended->Pid();
  ended->Kill();
  RecordPid(std::to_string(endedPid) + "\n");
  ExpectUnproven("pid " + std::to_string(endedPid) + " は動いていません");
  RecordPid("");
  ExpectUnproven(LockFile().string() + " にプロセス番号がありません");
  EXPECT_FALSE(holder->WaitForExit(0ms).has_value());
}

TEST_F(SiteLockTest, HolderWorkingInAnotherFolderIsNeverSignalled) {
  TempDir other("tessik-other");
  auto holder = StartHolder(other.Path());
  ExpectUnproven("pid " + std::to_string(holder->Pid()) + " は別のフォルダのプログラムです");
  EXPECT_FALSE(holder->WaitForExit(0ms).has_value());
}

TEST(FdInfo, OnlyAnExclusiveFlockThroughTheFileCounts) {
  const std::string head = "pos:\t0\nflags:\t02100002\nmnt_id:\t27\nino:\t10952801\n";
  EXPECT_TRUE(FdInfoShowsExclusiveFlock(head + "lock:\t1: FLOCK  ADVISORY  WRITE 24175 fe:00:10952801 0 EOF\n"));
  EXPECT_FALSE(FdInfoShowsExclusiveFlock(head + "lock:\t1: FLOCK  ADVISORY  READ 24175 fe:00:10952801 0 EOF\n"));
  EXPECT_FALSE(FdInfoShowsExclusiveFlock(head + "lock:\t1: POSIX  ADVISORY  WRITE 24175 fe:00:10952801 0 EOF\n"));
  EXPECT_FALSE(FdInfoShowsExclusiveFlock(head));
  EXPECT_FALSE(FdInfoShowsExclusiveFlock(""));
}

}  // namespace
}  // namespace tessik
