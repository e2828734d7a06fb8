// Device folder rules, class lookup and the endpoint's access rules.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

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

// The card's class stands for any class.
constexpr const char* kGuid = morlex::kDeviceClassGuid;

TEST(DeviceFolder, OverrideThenRuntimeFolder) {
  {
    EnvVar dir("QDA7100_DEVICE_DIR", "/some/where");
    EXPECT_EQ(DeviceFolder(), "/some/where");
  }
  EnvVar dir("QDA7100_DEVICE_DIR", "");  // empty counts as unset
  if (::geteuid() == 0) {
    EXPECT_EQ(DeviceFolder(), "/run/qda7100");
  } else {
    {
      EnvVar xdg("XDG_RUNTIME_DIR", "/run/user/4242");
      EXPECT_EQ(DeviceFolder(), "/run/user/4242/qda7100");
    }
    EnvVar xdg("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(DeviceFolder(), "/tmp/qda7100-" + std::to_string(::geteuid()));
  }
}

TEST(DeviceLookup, MissingOrEmptyFolderHasNoDevice) {
  TempFolder dir;
  std::string path = "unchanged";
  {
    EnvVar env("QDA7100_DEVICE_DIR", (dir.Path() + "/absent").c_str());
    EXPECT_EQ(FindFirstDevice(kGuid, path), -5);
  }
  EnvVar env("QDA7100_DEVICE_DIR", dir.Path().c_str());
  EXPECT_EQ(FindFirstDevice(kGuid, path), -5);
  EXPECT_EQ(path, "unchanged");
}

TEST(DeviceLookup, FolderThatIsAFileIsCodeMinus4) {
  TempFolder dir;
  const std::string file = dir.Path() + "/file";
  std::ofstream(file) << "x";
  EnvVar env("QDA7100_DEVICE_DIR", file.c_str());
  std::string path;
  EXPECT_EQ(FindFirstDevice(kGuid, path), -4);
}

TEST(DeviceLookup, UnlistableFolderIsCodeMinus4) {
  if (::geteuid() == 0) GTEST_SKIP() << "root can list any folder";
  TempFolder dir;
  const std::string locked = dir.Path() + "/locked";
  ASSERT_EQ(::mkdir(locked.c_str(), 0), 0);
  EnvVar env("QDA7100_DEVICE_DIR", locked.c_str());
  std::string path;
  EXPECT_EQ(FindFirstDevice(kGuid, path), -4);
  ::chmod(locked.c_str(), 0700);
}

TEST(DeviceLookup, MemberZeroIsTheFirstSocketOfTheClassInSortedOrder) {
  TempFolder dir;
  EnvVar env("QDA7100_DEVICE_DIR", dir.Path().c_str());
  const std::string g = kGuid;
  MakeSocket(dir.Path() + "/" + g + "-2");
  MakeSocket(dir.Path() + "/" + g + "-1");
  MakeSocket(dir.Path() + "/{00000000-0000-0000-0000-000000000000}-0");  // another class
  std::ofstream(dir.Path() + "/" + g + "-0") << "not a socket";
  std::string path;
  ASSERT_EQ(FindFirstDevice(kGuid, path), 0);
  EXPECT_EQ(path, dir.Path() + "/" + g + "-1");

  // The class GUID matches without regard to letter case.
  std::string lower = g;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  ASSERT_NE(lower, g);
  ASSERT_EQ(FindFirstDevice(lower, path), 0);
  EXPECT_EQ(path, dir.Path() + "/" + g + "-1");
  EXPECT_EQ(FindFirstDevice("{11111111-", path), -5);
}

TEST(DeviceEndpoint, FolderAndSocketArePrivateToTheOwner) {
  TempFolder dir;
  const std::string folder = dir.Path() + "/new/qda7100";
  std::string error;
  auto server = DeviceServer::Start(folder, std::string(kGuid) + "-0", [](const auto& c) { c->Complete(0); }, error);
  ASSERT_TRUE(server) << error;
  EXPECT_EQ(ModeOf(folder), 0700u);
  EXPECT_EQ(ModeOf(server->Path()), 0600u);
  server.reset();
  EXPECT_EQ(::access((folder + "/" + kGuid + "-0").c_str(), F_OK), -1);

  // An existing folder that others could enter is narrowed.
  const std::string open = dir.Path() + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
  ::chmod(open.c_str(), 0755);
  ASSERT_TRUE(PrepareDeviceFolder(open, error)) << error;
  EXPECT_EQ(ModeOf(open), 0700u);

  // A file where the folder should be is an error, not a crash.
  std::ofstream(dir.Path() + "/file") << "x";
  EXPECT_FALSE(PrepareDeviceFolder(dir.Path() + "/file", error));
  EXPECT_FALSE(error.empty());
}

TEST(DeviceEndpoint, StaleEndpointIsReplacedButALiveOneIsNot) {
  TempFolder dir;
  const std::string name = std::string(kGuid) + "-0";
  MakeSocket(dir.Path() + "/" + name);
  std::string error;
  auto first = DeviceServer::Start(dir.Path(), name, [](const auto& c) { c->Complete(0); }, error);
  ASSERT_TRUE(first) << error;
  auto second = DeviceServer::Start(dir.Path(), name, [](const auto& c) { c->Complete(0); }, error);
  EXPECT_FALSE(second);
  EXPECT_NE(error.find("already served"), std::string::npos) << error;
  EXPECT_EQ(ModeOf(first->Path()), 0600u);  // the live endpoint was left alone

  std::ofstream(dir.Path() + "/plain") << "x";
  EXPECT_FALSE(DeviceServer::Start(dir.Path(), "plain", [](const auto& c) { c->Complete(0); }, error));
  EXPECT_FALSE(DeviceServer::Start(dir.Path(), "a/b", [](const auto& c) { c->Complete(0); }, error));
}

}  // namespace
