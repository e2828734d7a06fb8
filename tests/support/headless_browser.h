// Debian's Chromium, headless, driven by a test through the DevTools
// protocol over a pipe (--remote-debugging-pipe: JSON messages ended by a
// NUL byte on file descriptors 3 and 4 of the browser), so no port is
// opened and no WebSocket is needed.  Every wait has a deadline; the
// browser (started with a fresh profile in a temporary folder) is ended
// by its process id when the object goes away.
#pragma once

#include <sys/types.h>

#include <QJsonObject>
#include <QJsonValue>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace lw::testing {

class HeadlessBrowser {
 public:
  HeadlessBrowser();
  ~HeadlessBrowser();
  HeadlessBrowser(const HeadlessBrowser&) = delete;
  HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

  // The browser program (LW_CHROMIUM, or chromium on the PATH).
  static std::optional<std::filesystem::path> Find();

  // Starts the browser with a window of the given size and opens one page
  // target.  False with the reason.
  bool Start(int width, int height, std::string& why);
  // Opens `url` and waits for its load event.
  bool Open(const std::string& url, std::string& why, std::chrono::milliseconds deadline = std::chrono::seconds(30));
  // Evaluates a JavaScript expression (promises awaited); its value.
  std::optional<QJsonValue> Evaluate(const std::string& expression, std::string& why);
  // Polls a JavaScript condition until it is true.
  bool WaitFor(const std::string& condition, std::chrono::milliseconds deadline, std::string& why);
  // The mouse moved to a point of the page (CSS pixels of the viewport).
  bool MoveMouse(double x, double y, std::string& why);
  // A PNG of the page as shown (whole page when `fullPage`).
  bool Screenshot(const std::filesystem::path& file, std::string& why, bool fullPage = false);
  // Errors of the page since the last call: console.error, uncaught
  // exceptions, failed loads and security (CSP) reports.
  std::vector<std::string> TakeErrors();

 private:
  std::optional<QJsonObject> Call(const std::string& method, const QJsonObject& params, std::string& why,
                                  std::chrono::milliseconds deadline = std::chrono::seconds(30), bool onPage = true);
  // Reads one message; nullopt at the deadline or when the browser ended.
  std::optional<QJsonObject> Read(std::chrono::steady_clock::time_point until);
  void Note(const QJsonObject& event);

  TempDir profile_;
  pid_t pid_ = -1;
  int toBrowser_ = -1;
  int fromBrowser_ = -1;
  int nextId_ = 1;
  std::string buffer_;
  std::string session_;
  std::vector<QJsonObject> events_;
  std::vector<std::string> errors_;
};

}  // namespace lw::testing
