#include "headless_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <cstdlib>

namespace lw::testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

HeadlessBrowser::HeadlessBrowser() : profile_("lw-browser") {}

HeadlessBrowser::~HeadlessBrowser() {
  if (pid_ > 0) {
    std::string why;
    Call("Browser.close", {}, why, std::chrono::seconds(5), false);
    // Up to 10 s for a clean end, then SIGKILL to this process group,
    // which is the browser's own (it was started as its leader).
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      ::usleep(100'000);
    }
    if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  if (toBrowser_ >= 0) ::close(toBrowser_);
  if (fromBrowser_ >= 0) ::close(fromBrowser_);
}

std::optional<fs::path> HeadlessBrowser::Find() {
  if (const char* env = std::getenv("LW_CHROMIUM"); env && *env) return fs::path(env);
  for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
    if (fs::exists(p)) return fs::path(p);
  return std::nullopt;
}

bool HeadlessBrowser::Start(int width, int height, std::string& why) {
  const auto program = Find();
  if (!program) {
    why = "Chromium is not installed (scripts/setup.sh installs Debian's chromium)";
    return false;
  }
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    why = "no pipes";
    return false;
  }
  const std::vector<std::string> args{program->string(),
                                      "--headless",
                                      "--no-sandbox",  // as root; the tests' pages are the project's own
                                      "--disable-gpu",
                                      "--no-first-run",
                                      "--no-default-browser-check",
                                      "--disable-background-networking",
                                      "--disable-component-update",
                                      "--disable-sync",
                                      "--disable-quic",
                                      "--disable-extensions",
                                      "--hide-scrollbars",
                                      "--remote-debugging-pipe",
                                      "--user-data-dir=" + profile_.Path().string(),
                                      "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                                      "about:blank"};
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    // The browser reads commands on fd 3 and writes answers on fd 4.
    ::dup2(in[0], 3);
    ::dup2(out[1], 4);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  toBrowser_ = in[1];
  fromBrowser_ = out[0];
  if (pid_ < 0) {
    why = "cannot start " + program->string();
    return false;
  }
  const auto target = Call("Target.createTarget", {{"url", "about:blank"}}, why, std::chrono::seconds(60), false);
  if (!target) return false;
  const auto attached = Call("Target.attachToTarget",
                             {{"targetId", (*target)["targetId"].toString()}, {"flatten", true}}, why,
                             std::chrono::seconds(30), false);
  if (!attached) return false;
  session_ = (*attached)["sessionId"].toString().toStdString();
  for (const char* domain : {"Page.enable", "Runtime.enable", "Log.enable"})
    if (!Call(domain, {}, why)) return false;
  return true;
}

std::optional<QJsonObject> HeadlessBrowser::Read(Clock::time_point until) {
  for (;;) {
    if (const auto end = buffer_.find('\0'); end != std::string::npos) {
      const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(buffer_.substr(0, end)));
      buffer_.erase(0, end + 1);
      return doc.object();
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd p{fromBrowser_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[65536];
    const ssize_t n = ::read(fromBrowser_, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

void HeadlessBrowser::Note(const QJsonObject& event) {
  const QString method = event["method"].toString();
  const QJsonObject params = event["params"].toObject();
  if (method == "Runtime.consoleAPICalled" && params["type"].toString() == "error") {
    QString text;
    for (const QJsonValue& a : params["args"].toArray())
      text += (a.toObject().contains("value") ? a.toObject()["value"].toVariant().toString()
                                              : a.toObject()["description"].toString()) + " ";
    errors_.push_back("console.error: " + text.toStdString());
  } else if (method == "Runtime.exceptionThrown") {
    const QJsonObject d = params["exceptionDetails"].toObject();
    errors_.push_back("exception: " + d["exception"].toObject()["description"].toString().toStdString() + " " +
                      d["text"].toString().toStdString());
  } else if (method == "Log.entryAdded") {
    const QJsonObject entry = params["entry"].toObject();
    if (entry["level"].toString() == "error")
      errors_.push_back("log (" + entry["source"].toString().toStdString() + "): " +
                        entry["text"].toString().toStdString() + " " + entry["url"].toString().toStdString());
  }
  events_.push_back(event);
}

std::optional<QJsonObject> HeadlessBrowser::Call(const std::string& method, const QJsonObject& params,
                                                 std::string& why, std::chrono::milliseconds deadline, bool onPage) {
  const int id = nextId_++;
  QJsonObject message{{"id", id}, {"method", QString::fromStdString(method)}, {"params", params}};
  if (onPage && !session_.empty()) message["sessionId"] = QString::fromStdString(session_);
  QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact);
  bytes.append('\0');
  for (qsizetype done = 0; done < bytes.size();) {
    const ssize_t n = ::write(toBrowser_, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
    if (n <= 0) {
      why = "the browser is gone (" + method + ")";
      return std::nullopt;
    }
    done += n;
  }
  const auto until = Clock::now() + deadline;
  for (;;) {
    const auto reply = Read(until);
    if (!reply) {
      why = "no answer to " + method + " in time";
      return std::nullopt;
    }
    if (!reply->contains("id")) {
      Note(*reply);
      continue;
    }
    if ((*reply)["id"].toInt() != id) continue;
    if (reply->contains("error")) {
      why = method + ": " + (*reply)["error"].toObject()["message"].toString().toStdString();
      return std::nullopt;
    }
    return (*reply)["result"].toObject();
  }
}

bool HeadlessBrowser::Open(const std::string& url, std::string& why, std::chrono::milliseconds deadline) {
  events_.clear();
  const auto nav = Call("Page.navigate", {{"url", QString::fromStdString(url)}}, why, deadline);
  if (!nav) return false;
  if (nav->contains("errorText")) {
    why = "cannot open " + url + ": " + (*nav)["errorText"].toString().toStdString();
    return false;
  }
  const auto until = Clock::now() + deadline;
  for (const QJsonObject& e : events_)
    if (e["method"].toString() == "Page.loadEventFired") return true;
  for (;;) {
    const auto event = Read(until);
    if (!event) {
      why = "the page " + url + " did not load in time";
      return false;
    }
    if (!event->contains("id")) Note(*event);
    if ((*event)["method"].toString() == "Page.loadEventFired") return true;
  }
}

std::optional<QJsonValue> HeadlessBrowser::Evaluate(const std::string& expression, std::string& why) {
  const auto r = Call("Runtime.evaluate",
                      {{"expression", QString::fromStdString(expression)}, {"returnByValue", true},
                       {"awaitPromise", true}},
                      why);
  if (!r) return std::nullopt;
  if (r->contains("exceptionDetails")) {
    why = "the expression failed: " + (*r)["exceptionDetails"].toObject()["text"].toString().toStdString();
    return std::nullopt;
  }
  return (*r)["result"].toObject()["value"];
}

bool HeadlessBrowser::WaitFor(const std::string& condition, std::chrono::milliseconds deadline, std::string& why) {
  const auto until = Clock::now() + deadline;
  while (Clock::now() < until) {
    const auto v = Evaluate(condition, why);
    if (!v) return false;
    if (v->toBool()) return true;
    // The page's own timers run meanwhile; this only paces the polling.
    ::usleep(100'000);
  }
  why = "not true in time: " + condition;
  return false;
}

bool HeadlessBrowser::MoveMouse(double x, double y, std::string& why) {
  return Call("Input.dispatchMouseEvent", {{"type", "mouseMoved"}, {"x", x}, {"y", y}}, why).has_value();
}

bool HeadlessBrowser::Screenshot(const fs::path& file, std::string& why, bool fullPage) {
  QJsonObject params{{"format", "png"}};
  if (fullPage) params["captureBeyondViewport"] = true;
  if (fullPage) {
    const auto size = Evaluate("[document.documentElement.scrollWidth, document.documentElement.scrollHeight]", why);
    if (!size) return false;
    params["clip"] = QJsonObject{{"x", 0}, {"y", 0}, {"width", size->toArray()[0]}, {"height", size->toArray()[1]},
                                 {"scale", 1}};
  }
  const auto shot = Call("Page.captureScreenshot", params, why, std::chrono::seconds(60));
  if (!shot) return false;
  QFile out(QString::fromStdString(file.string()));
  if (!out.open(QIODevice::WriteOnly) ||
      out.write(QByteArray::fromBase64((*shot)["data"].toString().toLatin1())) <= 0) {
    why = "cannot write " + file.string();
    return false;
  }
  return true;
}

std::vector<std::string> HeadlessBrowser::TakeErrors() {
  // Events that came while nothing was waiting.
  std::string why;
  Evaluate("0", why);
  return std::exchange(errors_, {});
}

}  // namespace lw::testing
