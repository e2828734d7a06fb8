// Whom the device layer trusts: folders that others can write to or that are
// links, folders of other users, and drivers run by other users are refused
// on both sides; the refusal keeps the layer's usual failure codes.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "device_test_util.h"
#include "morlex/driver.h"
#include "platform/device.h"
#include "platform/device_server.h"
#include "socket_io.h"

using namespace platform;
using devtest::EnvVar;
using devtest::MakeSocket;
using devtest::ModeOf;
using devtest::TempFolder;

namespace {

constexpr const char* kGuid = morlex::kDeviceClassGuid;
constexpr uid_t kNobody = 65534;
const std::string kName = std::string(kGuid) + "-0";

DeviceHandler Answering() {
  return [](const std::shared_ptr<DeviceCall>& call) { call->Complete(ERROR_SUCCESS); };
}

// FindFirstDevice on `folder`, with what the layer wrote to standard error.
int LookUp(const std::string& folder, std::string& path, std::string& said) {
  EnvVar env("QDA7100_DEVICE_DIR", folder.c_str());
  ::testing::internal::CaptureStderr();
  const int rc = FindFirstDevice(kGuid, path);
  said = ::testing::internal::GetCapturedStderr();
  return rc;
}

// A folder holding one stale endpoint of the class, with the given mode.
std::string FolderWithDevice(const TempFolder& tmp, const std::string& leaf, mode_t mode) {
  const std::string folder = tmp.Path() + "/" + leaf;
  EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
  MakeSocket(folder + "/" + kName);
  EXPECT_EQ(::chmod(folder.c_str(), mode), 0);
  return folder;
}

TEST(DeviceTrust, ClientRefusesFoldersOthersCanWriteOrThatAreLinks) {
  TempFolder tmp;
  std::string path = "unchanged";
  std::string said;

  // A private or merely readable folder is used.
  EXPECT_EQ(LookUp(FolderWithDevice(tmp, "private", 0700), path, said), 0);
  EXPECT_EQ(LookUp(FolderWithDevice(tmp, "readable", 0755), path, said), 0);
  EXPECT_EQ(path, tmp.Path() + "/readable/" + kName);

  for (const mode_t mode : {0777, 0770, 0702, 01777}) {
    path = "unchanged";
    const std::string folder = FolderWithDevice(tmp, "mode" + std::to_string(mode), mode);
    EXPECT_EQ(LookUp(folder, path, said), -4) << std::oct << mode;
    EXPECT_EQ(path, "unchanged");
    EXPECT_NE(said.find("not using " + folder + ": group or others can write"), std::string::npos) << said;
  }

  // A link to a good folder is not followed; nor is a member that is a link
  // to a socket.
  const std::string link = tmp.Path() + "/link";
  ASSERT_EQ(::symlink((tmp.Path() + "/private").c_str(), link.c_str()), 0);
  EXPECT_EQ(LookUp(link, path, said), -4);
  EXPECT_NE(said.find("symbolic link"), std::string::npos) << said;

  // A link on the way to the folder that this user made is followed.
  const std::string via = tmp.Path() + "/via";
  ASSERT_EQ(::symlink(tmp.Path().c_str(), via.c_str()), 0);
  EXPECT_EQ(LookUp(via + "/private", path, said), 0);
  EXPECT_EQ(path, via + "/private/" + kName);

  const std::string linked = tmp.Path() + "/linked-member";
  ASSERT_EQ(::mkdir(linked.c_str(), 0700), 0);
  ASSERT_EQ(::symlink((tmp.Path() + "/private/" + kName).c_str(), (linked + "/" + kName).c_str()), 0);
  EXPECT_EQ(LookUp(linked, path, said), -5);
}

TEST(DeviceTrust, ServerRefusesFoldersAndEndpointsItWouldHaveToFollowOrShare) {
  TempFolder tmp;
  std::string error;

  // The folder pre-created as a link to a folder of ours: refused, and
  // nothing appears in the link's target.
  const std::string target = tmp.Path() + "/target";
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  const std::string link = tmp.Path() + "/dev";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(DeviceServer::Start(link, kName, Answering(), error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_EQ(::access((target + "/" + kName).c_str(), F_OK), -1);

  // A folder others can write to is refused and left as it is.
  for (const mode_t mode : {0777, 0770}) {
    const std::string open = tmp.Path() + "/open" + std::to_string(mode);
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), mode), 0);
    error.clear();
    EXPECT_FALSE(DeviceServer::Start(open, kName, Answering(), error));
    EXPECT_NE(error.find("group or others can write"), std::string::npos) << error;
    EXPECT_EQ(ModeOf(open), mode);
    EXPECT_EQ(::access((open + "/" + kName).c_str(), F_OK), -1);
  }

  // A stale endpoint that is a link to a socket elsewhere is neither removed
  // nor followed.
  const std::string elsewhere = tmp.Path() + "/elsewhere";
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  MakeSocket(elsewhere + "/sock");
  ASSERT_EQ(::symlink((elsewhere + "/sock").c_str(), (target + "/" + kName).c_str()), 0);
  EXPECT_FALSE(DeviceServer::Start(target, kName, Answering(), error));
  struct stat st {};
  EXPECT_EQ(::lstat((target + "/" + kName).c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(::lstat((elsewhere + "/sock").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

// ---------------------------------------------------------------- other users

// A socket in `folder` listened on by a child process running as `nobody`:
// connections to it carry nobody's credentials.
class ForeignDriver {
 public:
  explicit ForeignDriver(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    int ready[2], hold[2];
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::pipe(ready) != 0 ||
        ::pipe(hold) != 0) {
      ADD_FAILURE() << "cannot prepare " << path;
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only system calls from here: the test process has other threads.
      ::close(ready[0]);
      ::close(hold[1]);
      const bool ok = ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && ::listen(fd, 4) == 0;
      const char c = ok ? '1' : '0';
      [[maybe_unused]] const auto w = ::write(ready[1], &c, 1);
      char x;
      [[maybe_unused]] const auto r = ::read(hold[0], &x, 1);  // until the test lets go
      ::_exit(0);
    }
    ::close(fd);
    ::close(ready[1]);
    ::close(hold[0]);
    hold_ = hold[1];
    pollfd p{ready[0], POLLIN, 0};
    char c = '0';
    listening_ = ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &c, 1) == 1 && c == '1';
    ::close(ready[0]);
  }
  ~ForeignDriver() {
    if (hold_ >= 0) ::close(hold_);  // the child ends when it sees this
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  bool Listening() const { return listening_; }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
  bool listening_ = false;
};

TEST(DeviceTrust, AnotherUsersFolderOrDriverIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  TempFolder tmp;
  std::string path;
  std::string said;

  // The folder, created by the other user (root hands it over).
  const std::string theirs = FolderWithDevice(tmp, "theirs", 0700);
  ASSERT_EQ(::chown(theirs.c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(LookUp(theirs, path, said), -4);
  EXPECT_NE(said.find("belongs to uid 65534"), std::string::npos) << said;
  std::string error;
  EXPECT_FALSE(DeviceServer::Start(theirs, kName, Answering(), error));
  EXPECT_NE(error.find("belongs to uid 65534"), std::string::npos) << error;

  // A link of theirs on the way to a good folder is not followed.
  const std::string via = tmp.Path() + "/via";
  ASSERT_EQ(::symlink(tmp.Path().c_str(), via.c_str()), 0);
  ASSERT_EQ(::lchown(via.c_str(), kNobody, kNobody), 0);
  FolderWithDevice(tmp, "good", 0700);
  EXPECT_EQ(LookUp(via + "/good", path, said), -4);
  EXPECT_NE(said.find(via + " is a symbolic link of uid 65534"), std::string::npos) << said;
  EXPECT_FALSE(DeviceServer::Start(via + "/good", kName, Answering(), error));
  EXPECT_NE(error.find(via + " is a symbolic link of uid 65534"), std::string::npos) << error;

  // A stale endpoint of theirs in our folder is left alone.
  const std::string ours = tmp.Path() + "/ours";
  ASSERT_EQ(::mkdir(ours.c_str(), 0700), 0);
  MakeSocket(ours + "/" + kName);
  ASSERT_EQ(::chown((ours + "/" + kName).c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(DeviceServer::Start(ours, kName, Answering(), error));
  EXPECT_EQ(::access((ours + "/" + kName).c_str(), F_OK), 0);
  ASSERT_EQ(::unlink((ours + "/" + kName).c_str()), 0);

  // Their driver, serving in our folder: found, but not opened.
  ForeignDriver driver(ours + "/" + kName);
  ASSERT_TRUE(driver.Listening());
  ASSERT_EQ(LookUp(ours, path, said), 0);
  uint32_t openError = 0;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Device::Open(path, openError), nullptr);
  said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(openError, ERROR_ACCESS_DENIED);
  EXPECT_NE(said.find("served by uid 65534"), std::string::npos) << said;
}

}  // namespace
