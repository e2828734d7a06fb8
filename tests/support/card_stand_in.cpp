#include "card_stand_in.h"

namespace lw::testing {

namespace {
constexpr std::string_view kReady = "qda7100-sim: serving ";
}  // namespace

CardStandIn::CardStandIn(const std::vector<std::string>& args, std::chrono::milliseconds readyDeadline) {
  ownFolder_.emplace("lw-card");
  Start(ownFolder_->Path(), args, readyDeadline);
}

CardStandIn::~CardStandIn() {
  if (process_ && exitCode_ < 0 && !Terminate(SIGTERM, std::chrono::seconds(5))) Kill();
}

bool CardStandIn::Start(const std::filesystem::path& deviceFolder, const std::vector<std::string>& args,
                        std::chrono::milliseconds readyDeadline) {
  folder_ = deviceFolder.string();
  process_ = std::make_unique<ChildProcess>(BinDir() / "qda7100-sim", args,
                                            ChildOptions{.workingDir = {}, .environment = {{"QDA7100_DEVICE_DIR", folder_}}});
  if (!process_->Started()) return Fail("cannot start " + (BinDir() / "qda7100-sim").string());
  if (!process_->WaitForOutput(std::string(kReady), readyDeadline)) {
    if (WaitExit(std::chrono::seconds(2))) {
      return Fail("qda7100-sim ended before it was ready (exit " + std::to_string(exitCode_) + "): " + Output());
    }
    return Fail("no ready line within the time limit: " + Output());
  }
  // The device's path is complete once the line's end has come.
  const auto lineEnd = [this] {
    const std::string output = Output();
    return output.find('\n', output.find(kReady)) != std::string::npos;
  };
  if (!WaitUntil(lineEnd, readyDeadline)) return Fail("incomplete ready line: " + Output());
  const std::string output = Output();
  const std::size_t begin = output.find(kReady) + kReady.size();
  devicePath_ = output.substr(begin, output.find('\n', begin) - begin);
  return true;
}

bool CardStandIn::Fail(std::string why) {
  error_ = std::move(why);
  return false;
}

bool CardStandIn::Terminate(int signal, std::chrono::milliseconds deadline) {
  if (!process_ || !process_->Started()) return false;
  if (exitCode_ < 0) process_->Signal(signal);
  return WaitExit(deadline);
}

bool CardStandIn::WaitExit(std::chrono::milliseconds deadline) {
  if (!process_ || !process_->Started()) return false;
  const std::optional<int> status = process_->WaitForExit(deadline);
  if (status) exitCode_ = *status;
  return status.has_value();
}

void CardStandIn::Kill() {
  if (!process_) return;
  process_->Kill();
  if (const auto status = process_->WaitForExit(std::chrono::milliseconds(0))) exitCode_ = *status;
}

}  // namespace lw::testing
