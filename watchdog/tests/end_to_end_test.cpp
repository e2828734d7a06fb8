// The real Tessik program restarts a stand-in for the measurement program
// whose data file has gone stale.  Slow: the first watch tick comes 60 s
// after watching starts.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace tessik {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(TessikEndToEnd, StartsTheMeasurementProgramAgainWhenItsDataFileIsStale) {
  // Every program of the build lands in one folder, this test's too.
  const char* binDir = std::getenv("LW_BIN_DIR");
  const fs::path bin = binDir != nullptr ? fs::path(binDir) : fs::read_symlink("/proc/self/exe").parent_path();
  const fs::path tessik = bin / "Tessik";
  ASSERT_TRUE(fs::exists(tessik)) << tessik;

  testing::TempDir site;
  const fs::path dataFile = site.path() / "data.csv";
  const std::string dataPath = dataFile.string();
  testing::WriteBytes(site.path() / "SETDT.DAT",
                      testing::SettingsRecord(static_cast<int16_t>(dataPath.size()), Bytes(dataPath)));
  // The measurement program was killed an hour ago.
  std::ofstream(dataFile) << "old\n";
  const auto hourAgo = fs::last_write_time(dataFile) - std::chrono::hours(1);
  fs::last_write_time(dataFile, hourAgo);

  // Stand-in: records where it runs and writes the data file.
  const fs::path standIn = site.path() / "Varnel";
  { std::ofstream(standIn) << "#!/bin/sh\npwd >> started.txt\necho new >> " << dataPath << "\n"; }
  fs::permissions(standIn, fs::perms::owner_all);

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.emplace_back("QT_QPA_PLATFORM=offscreen");
  env.emplace_back("TESSIK_AUTOSTART=0.05");
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, site.path().c_str());
  std::string program = tessik.string();
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);

  const fs::path started = site.path() / "started.txt";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
  bool restarted = false;
  while (!restarted && std::chrono::steady_clock::now() < deadline) {
    restarted = fs::exists(started) && fs::file_size(started) > 0;
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "Tessik ended early";
    if (!restarted) std::this_thread::sleep_for(std::chrono::milliseconds(200));  // deadline-bounded poll
  }
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);

  ASSERT_TRUE(restarted) << "no restart within the deadline";
  std::ifstream in(started);
  std::string cwd;
  std::getline(in, cwd);
  EXPECT_EQ(fs::canonical(cwd), fs::canonical(site.path()));
  EXPECT_GT(fs::last_write_time(dataFile), hourAgo + std::chrono::minutes(59));
}

}  // namespace
}  // namespace tessik
