// The real starter: a detached process in the working directory.
#include "qt_process_starter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "test_support.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

// Changes the working directory for the life of the object.
class InDirectory {
 public:
  explicit InDirectory(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~InDirectory() { fs::current_path(old_); }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

 private:
  fs::path old_;
};

bool WaitForFile(const fs::path& file, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(file) && fs::file_size(file) > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling, bounded by the deadline
  }
  return false;
}

TEST(QtProcessStarter, StartsTheProgramInTheWorkingDirectory) {
  testing::TempDir site;
  const fs::path script = site.Path() / "Varnel";
  { std::ofstream(script) << "#!/bin/sh\npwd > started.txt\n"; }
  fs::permissions(script, fs::perms::owner_all);
  InDirectory in(site.Path());

  QtProcessStarter starter;
  // A relative name is found in the site folder.
  const StartResult result = starter.Start("Varnel");
  ASSERT_TRUE(result.started) << result.reason;
  ASSERT_TRUE(WaitForFile(site.Path() / "started.txt", std::chrono::seconds(20)));
  std::ifstream in_file(site.Path() / "started.txt");
  std::string cwd;
  std::getline(in_file, cwd);
  EXPECT_EQ(fs::canonical(cwd), fs::canonical(site.Path()));
}

TEST(QtProcessStarter, ReportsWhyAProgramCannotBeStarted) {
  testing::TempDir site;
  InDirectory in(site.Path());
  QtProcessStarter starter;

  const StartResult missing = starter.Start((site.Path() / "Varnel").string());
  EXPECT_FALSE(missing.started);
  EXPECT_FALSE(missing.reason.empty());

  const fs::path notExecutable = site.Path() / "plain.txt";
  { std::ofstream(notExecutable) << "text\n"; }
  fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(starter.Start(notExecutable.string()).started);

  const StartResult empty = starter.Start("  ");
  EXPECT_FALSE(empty.started);
  EXPECT_EQ(empty.reason, "起動ソフトが指定されていません");
}

}  // namespace
}  // namespace tessik
