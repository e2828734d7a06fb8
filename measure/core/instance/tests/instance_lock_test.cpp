#include "instance/instance_lock.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "child_process.h"
#include "files.h"

namespace varnel::instance {
namespace {

namespace fs = std::filesystem;

class InstanceLockTest : public ::testing::Test {
 protected:
  static std::string ReadAll(const fs::path& p) { return lw::testing::ReadFile(p); }

  lw::testing::TempDir temp_{"varnel-lock"};
  fs::path dir_ = temp_.Path();
  fs::path lockFile_ = dir_ / kLockFileName;
};

TEST_F(InstanceLockTest, FirstTakerHoldsTheLockAndRecordsItsPid) {
  InstanceLock lock = InstanceLock::TryAcquire(lockFile_);
  ASSERT_TRUE(lock.held()) << lock.Describe();
  EXPECT_EQ(lock.Describe(), "");
  EXPECT_EQ(ReadAll(lockFile_), std::to_string(::getpid()) + "\n");
}

TEST_F(InstanceLockTest, MarkAliveSetsTheLockFilesTimeAndKeepsTheRecord) {
  InstanceLock lock = InstanceLock::TryAcquire(lockFile_);
  ASSERT_TRUE(lock.held());
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(lockFile_, old);
  ASSERT_TRUE(lock.MarkAlive());
  EXPECT_GT(fs::last_write_time(lockFile_), old + std::chrono::minutes(59));
  EXPECT_EQ(ReadAll(lockFile_), std::to_string(::getpid()) + "\n");

  InstanceLock second = InstanceLock::TryAcquire(lockFile_);
  EXPECT_FALSE(second.MarkAlive()) << "only the holder marks";
}

TEST_F(InstanceLockTest, SecondOpenOfTheSameFileIsRefusedWithTheHoldersPid) {
  InstanceLock first = InstanceLock::TryAcquire(lockFile_);
  ASSERT_TRUE(first.held());
  // A separate open file description conflicts like a second process would.
  InstanceLock second = InstanceLock::TryAcquireIn(dir_);
  EXPECT_EQ(second.state(), InstanceLock::State::Busy);
  ASSERT_TRUE(second.holderPid().has_value());
  EXPECT_EQ(*second.holderPid(), ::getpid());
  EXPECT_NE(second.Describe().find("(pid " + std::to_string(::getpid()) + ")"), std::string::npos);
  // The refused attempt must not disturb the holder's record.
  EXPECT_EQ(ReadAll(lockFile_), std::to_string(::getpid()) + "\n");
}

TEST_F(InstanceLockTest, LockIsFreeAgainOnceTheHolderIsGoneAndAfterAMove) {
  {
    InstanceLock first = InstanceLock::TryAcquire(lockFile_);
    ASSERT_TRUE(first.held());
    InstanceLock moved = std::move(first);
    EXPECT_FALSE(first.held());  // NOLINT(bugprone-use-after-move): moved-from state is defined
    EXPECT_EQ(InstanceLock::TryAcquire(lockFile_).state(), InstanceLock::State::Busy);
  }
  EXPECT_TRUE(InstanceLock::TryAcquire(lockFile_).held());
  EXPECT_TRUE(fs::exists(lockFile_));  // the file stays; only the lock goes
}

TEST_F(InstanceLockTest, MoveAssignmentReleasesTheLockItOverwrites) {
  InstanceLock a = InstanceLock::TryAcquire(lockFile_);
  ASSERT_TRUE(a.held());
  const fs::path other = dir_ / "other.lock";
  InstanceLock b = InstanceLock::TryAcquire(other);
  ASSERT_TRUE(b.held());
  a = std::move(b);  // gives up lockFile_, takes over other
  EXPECT_TRUE(a.held());
  EXPECT_TRUE(InstanceLock::TryAcquire(lockFile_).held());
  EXPECT_EQ(InstanceLock::TryAcquire(other).state(), InstanceLock::State::Busy);
}

TEST_F(InstanceLockTest, EmptyOrForeignLockFileContentGivesNoPid) {
  { std::ofstream(lockFile_) << "not a pid"; }
  InstanceLock first = InstanceLock::TryAcquire(lockFile_);
  ASSERT_TRUE(first.held());
  // The holder rewrote the foreign text with its own pid.
  EXPECT_EQ(ReadAll(lockFile_), std::to_string(::getpid()) + "\n");
  { std::ofstream(lockFile_, std::ios::trunc) << ""; }
  InstanceLock second = InstanceLock::TryAcquire(lockFile_);
  EXPECT_EQ(second.state(), InstanceLock::State::Busy);
  EXPECT_FALSE(second.holderPid().has_value());
  EXPECT_EQ(second.Describe().find("pid"), std::string::npos);
}

TEST(ParseHolderPid, AcceptsOnlyAPositiveLeadingDecimal) {
  EXPECT_EQ(ParseHolderPid("1234\n"), pid_t{1234});
  EXPECT_EQ(ParseHolderPid("77"), pid_t{77});
  EXPECT_FALSE(ParseHolderPid("").has_value());
  EXPECT_FALSE(ParseHolderPid("\n").has_value());
  EXPECT_FALSE(ParseHolderPid("abc").has_value());
  EXPECT_FALSE(ParseHolderPid("0\n").has_value());
  EXPECT_FALSE(ParseHolderPid("-5").has_value());
  EXPECT_FALSE(ParseHolderPid("99999999999").has_value());
}

TEST_F(InstanceLockTest, UnusableLockFileIsReportedAsFailedNotBusy) {
  InstanceLock missingFolder = InstanceLock::TryAcquire(dir_ / "no-such-folder" / kLockFileName);
  EXPECT_EQ(missingFolder.state(), InstanceLock::State::Failed);
  EXPECT_NE(missingFolder.Describe().find("no-such-folder"), std::string::npos);
  EXPECT_FALSE(missingFolder.error().empty());

  // A link in place of the lock file is not followed, so its target is
  // neither locked nor truncated.
  const fs::path target = dir_ / "precious.txt";
  { std::ofstream(target) << "keep me"; }
  fs::create_symlink(target, lockFile_);
  EXPECT_EQ(InstanceLock::TryAcquire(lockFile_).state(), InstanceLock::State::Failed);
  EXPECT_EQ(ReadAll(target), "keep me");
}

// A child process that takes the lock and reports through a pipe: "H" when
// it holds the lock, "N" when not.
struct Child {
  pid_t pid = -1;
  int readEnd = -1;
};

Child ForkHolder(const fs::path& lockFile, bool execSleepAfterLocking) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    InstanceLock lock = InstanceLock::TryAcquire(lockFile);
    const char status = lock.held() ? 'H' : 'N';
    if (::write(fds[1], &status, 1) != 1) ::_exit(2);
    if (execSleepAfterLocking) {
      // Becomes another program, which reports "R" once it runs, that is
      // once the exec has closed every close-on-exec descriptor.  fd 9 is a
      // copy of the pipe that survives the exec for that report.
      if (::dup2(fds[1], 9) != 9) ::_exit(3);
      ::execl("/bin/sh", "sh", "-c", "printf R >&9; exec 9>&-; exec sleep 60", static_cast<char*>(nullptr));
      ::_exit(3);
    }
    for (;;) ::pause();
  }
  ::close(fds[1]);
  return {pid, fds[0]};
}

TEST_F(InstanceLockTest, LockOfAKilledHolderProcessIsFreeAtOnce) {
  Child child = ForkHolder(lockFile_, false);
  ASSERT_GT(child.pid, 0);
  char status = 0;
  ASSERT_EQ(::read(child.readEnd, &status, 1), 1);
  ::close(child.readEnd);
  ASSERT_EQ(status, 'H');

  InstanceLock whileAlive = InstanceLock::TryAcquire(lockFile_);
  EXPECT_EQ(whileAlive.state(), InstanceLock::State::Busy);
  EXPECT_EQ(whileAlive.holderPid(), child.pid);

  ASSERT_EQ(::kill(child.pid, SIGKILL), 0);
  int wstatus = 0;
  ASSERT_EQ(::waitpid(child.pid, &wstatus, 0), child.pid);
  EXPECT_TRUE(WIFSIGNALED(wstatus));

  // No cleanup by anybody: the kernel dropped the lock with the process.
  InstanceLock afterKill = InstanceLock::TryAcquire(lockFile_);
  EXPECT_TRUE(afterKill.held()) << afterKill.Describe();
}

TEST_F(InstanceLockTest, ProgramStartedByTheHolderDoesNotKeepTheLock) {
  Child child = ForkHolder(lockFile_, true);
  ASSERT_GT(child.pid, 0);
  char status = 0;
  ASSERT_EQ(::read(child.readEnd, &status, 1), 1);
  ASSERT_EQ(status, 'H');
  // "R": the started program runs; the exec is complete.
  char ready = 0;
  ASSERT_EQ(::read(child.readEnd, &ready, 1), 1);
  ::close(child.readEnd);
  ASSERT_EQ(ready, 'R');
  int wstatus = 0;
  ASSERT_EQ(::waitpid(child.pid, &wstatus, WNOHANG), 0) << "the exec'd program should still run";

  InstanceLock lock = InstanceLock::TryAcquire(lockFile_);
  EXPECT_TRUE(lock.held()) << lock.Describe();

  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, &wstatus, 0);
}

}  // namespace
}  // namespace varnel::instance
