// varnel-web: the fleet's records in a browser, from the collector's
// database (read-only), with staged alarms and an alarm command.
//
//   varnel-web [--site-dir DIR] [--db FILE|CONNINFO] [--config FILE] [--listen ADDRESS] [--port N]
//              [--token-file FILE] [--tls-cert FILE --tls-key FILE] [--allow-plain-http]
//              [--state FILE] [--snapshot-dir DIR]
//
// Without --db it reads DIR/records.sqlite (DIR: --site-dir, default the
// current folder), takes DIR/varnel-web.ini when there is one, keeps the
// alarm state in DIR/varnel-web.state and finds snapshot files in DIR.
// It listens on 127.0.0.1 unless told otherwise; any other address needs
// an access token (--token-file, TokenFile= or VARNEL_WEB_TOKEN), which
// every request must then carry, and, so that the token does not cross
// the network in the clear, TLS (--tls-cert and --tls-key, PEM files) or
// an explicit --allow-plain-http.  A certificate or key that cannot serve
// stops it before it listens, never a quiet fall back to plain HTTP.
// SIGINT and SIGTERM end it cleanly.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSocketNotifier>
#include <QTimer>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "announcer.h"
#include "command_runner.h"
#include "config.h"
#include "dashboard.h"
#include "http_server.h"
#include "store.h"
#include "tls.h"

namespace {

namespace fs = std::filesystem;
using namespace varnel::fleet;
using namespace varnel::fleet::web;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kShortestToken = 16;

int g_stopPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &c, 1);
}

void Log(const std::string& message) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &tm);
  std::cerr << "varnel-web " << stamp << " " << message << std::endl;
}

void Usage(std::ostream& out) {
  out << "usage: varnel-web [--site-dir DIR] [--db FILE|CONNINFO] [--config FILE] [--listen ADDRESS] [--port N]\n"
         "                  [--token-file FILE] [--tls-cert FILE --tls-key FILE] [--allow-plain-http]\n"
         "                  [--state FILE] [--snapshot-dir DIR]\n"
         "Serves the fleet's records from the collector's database (read-only) as pages and JSON,\n"
         "with staged alarms (DIR/varnel-web.ini).  Listens on 127.0.0.1:8710 unless told otherwise;\n"
         "other addresses need an access token, and HTTPS (--tls-cert, --tls-key: PEM certificate\n"
         "and key) or --allow-plain-http.\n";
}

struct Args {
  std::string siteDir = ".";
  std::string config;
  std::optional<std::string> db, listen, tokenFile, tlsCertificate, tlsKey, state, snapshotDir;
  std::optional<int> port;
  bool allowPlainHttp = false;
};

bool Parse(int argc, char** argv, Args& a, bool& help) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](auto& target) {
      if (i + 1 >= argc) {
        std::cerr << "varnel-web: " << arg << " needs a value\n";
        return false;
      }
      target = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "-h" || arg == "--help") {
      help = true;
      return false;
    } else if (arg == "--site-dir") {
      if (!value(a.siteDir)) return false;
    } else if (arg == "--config") {
      if (!value(a.config)) return false;
    } else if (arg == "--allow-plain-http") {
      a.allowPlainHttp = true;
    } else if (arg == "--db" || arg == "--listen" || arg == "--token-file" || arg == "--tls-cert" ||
               arg == "--tls-key" || arg == "--state" || arg == "--snapshot-dir") {
      if (!value(v)) return false;
      (arg == "--db" ? a.db : arg == "--listen" ? a.listen : arg == "--token-file" ? a.tokenFile
                      : arg == "--tls-cert" ? a.tlsCertificate : arg == "--tls-key" ? a.tlsKey
                      : arg == "--state" ? a.state : a.snapshotDir) = v;
    } else if (arg == "--port") {
      if (!value(v)) return false;
      char* end = nullptr;
      const long p = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || p < 0 || p > 65535) {
        std::cerr << "varnel-web: --port takes 0 to 65535 (0: any free port), not \"" << v << "\"\n";
        return false;
      }
      a.port = static_cast<int>(p);
    } else {
      std::cerr << "varnel-web: unknown option \"" << arg << "\"\n";
      return false;
    }
  }
  return true;
}

// The settings: defaults, then the file, then the command line.
bool Configure(const Args& a, WebConfig& c) {
  const fs::path dir = a.siteDir;
  std::error_code ec;
  const std::string file = !a.config.empty() ? a.config : (dir / "varnel-web.ini").string();
  if (!a.config.empty() || fs::exists(file, ec)) {
    std::vector<std::string> errors;
    if (!LoadConfigFile(file, c, errors)) {
      for (const std::string& e : errors) std::cerr << "varnel-web: " << file << ": " << e << "\n";
      return false;
    }
  }
  if (a.db) c.database = *a.db;
  if (a.listen) c.listen = *a.listen;
  if (a.port) c.port = *a.port;
  if (a.tokenFile) c.tokenFile = *a.tokenFile;
  if (a.tlsCertificate) c.tlsCertificate = *a.tlsCertificate;
  if (a.tlsKey) c.tlsKey = *a.tlsKey;
  if (a.allowPlainHttp) c.allowPlainHttp = true;
  if (a.state) c.stateFile = *a.state;
  if (a.snapshotDir) c.snapshotDir = *a.snapshotDir;
  if (c.database.empty()) c.database = (dir / "records.sqlite").string();
  if (c.stateFile.empty()) c.stateFile = (dir / "varnel-web.state").string();
  if (c.snapshotDir.empty() && !IsPostgresConnection(c.database)) c.snapshotDir = fs::path(c.database).parent_path().string();
  if (c.snapshotDir.empty() && !IsPostgresConnection(c.database)) c.snapshotDir = ".";

  if (!c.tokenFile.empty()) {
    QFile f(QString::fromStdString(c.tokenFile));
    if (!f.open(QIODevice::ReadOnly)) {
      std::cerr << "varnel-web: cannot read the token file " << c.tokenFile << "\n";
      return false;
    }
    c.token = f.readAll().trimmed().toStdString();
  } else if (const char* env = std::getenv("VARNEL_WEB_TOKEN"); env && *env) {
    c.token = env;
  }
  if (!c.token.empty() && c.token.size() < kShortestToken) {
    std::cerr << "varnel-web: the access token is too short: use at least " << kShortestToken
              << " characters (for example: head -c 24 /dev/urandom | base64)\n";
    return false;
  }
  QHostAddress address;
  if (!address.setAddress(QString::fromStdString(c.listen))) {
    std::cerr << "varnel-web: --listen takes an IP address (127.0.0.1, ::1, 0.0.0.0, ...), not \"" << c.listen
              << "\"\n";
    return false;
  }
  if (!address.isLoopback() && c.token.empty()) {
    std::cerr << "varnel-web: listening on " << c.listen << " serves other machines, so it needs an access token "
              << "(--token-file FILE, TokenFile= in [Web], or VARNEL_WEB_TOKEN)\n";
    return false;
  }
  return true;
}

// TLS from the certificate and key into `tls`, when they are given.
// Without TLS, an address other than loopback must be allowed plain HTTP in
// so many words: the token would cross the network readable on the way.
bool ConfigureTls(const WebConfig& c, std::optional<QSslConfiguration>& tls) {
  if (c.tlsCertificate.empty() != c.tlsKey.empty()) {
    std::cerr << "varnel-web: TLS needs both the certificate and its key (--tls-cert FILE and --tls-key FILE, "
                 "or TlsCertificate= and TlsKey= in [Web])\n";
    return false;
  }
  if (!c.tlsCertificate.empty()) {
    std::string why;
    tls = LoadTlsConfiguration(c.tlsCertificate, c.tlsKey, why);
    if (!tls) std::cerr << "varnel-web: " << why << "\n";
    return tls.has_value();
  }
  if (!QHostAddress(QString::fromStdString(c.listen)).isLoopback() && !c.allowPlainHttp) {
    std::cerr << "varnel-web: listening on " << c.listen << " without TLS sends the access token in the clear: "
              << "give --tls-cert FILE and --tls-key FILE (TlsCertificate=, TlsKey= in [Web]), or --allow-plain-http "
              << "(AllowPlainHttp=true) for a network you trust\n";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Args args;
  bool help = false;
  if (!Parse(argc, argv, args, help)) {
    Usage(help ? std::cout : std::cerr);
    return help ? kExitOk : kExitUsage;
  }
  WebConfig config;
  if (!Configure(args, config)) return kExitUsage;
  std::optional<QSslConfiguration> tls;
  if (!ConfigureTls(config, tls)) return kExitUsage;

  std::unique_ptr<FleetStore> store = MakeFleetStore(config.database);
  try {
    store->Open();
  } catch (const SchemaVersionError& e) {
    // A database of a later release stays so until this program is
    // upgraded: say so and end rather than serve 503 for ever.
    if (e.DatabaseIsNewer()) {
      Log(e.what());
      return kExitFailed;
    }
    Log(std::string(e.what()) + "; serving 503 until it is upgraded");
  } catch (const DbError& e) {
    Log(std::string(e.what()) + "; serving 503 until it can be read");
  }

  DashboardOptions options;
  options.alarms = config.alarms;
  options.condition = config.condition;
  // The maintenance form writes its event through the collector's engine,
  // a connection of its own for each (rare) entry; the database may refuse
  // (a role or file that may only be read), which the form then says.
  if (!config.token.empty())
    options.addEvent = [database = config.database](int64_t site, const MaintenanceEvent& e, std::string& why) {
      try {
        std::unique_ptr<Database> db = MakeDatabase(database);
        db->Open();
        db->AddEvent(site, e);
        return true;
      } catch (const DbError& error) {
        why = error.what();
        return false;
      }
    };
  options.quietSeconds = config.quietSeconds;
  options.token = config.token;
  options.servedOverTls = tls.has_value();
  options.chartDir = config.chartDir;
  options.snapshotDir = config.snapshotDir;
  options.log = Log;
  Dashboard dashboard(*store, options);

  HttpServer server(dashboard, Log);
  if (tls) server.sslSetup(*tls);
  const QHostAddress address(QString::fromStdString(config.listen));
  const quint16 port = server.listen(address, static_cast<quint16>(config.port));
  if (port == 0) {
    Log("cannot listen on " + config.listen + " port " + std::to_string(config.port) +
        " (in use, or not an address of this machine)");
    return kExitFailed;
  }

  // The alarm command: checked on a timer, on this same event thread.
  std::unique_ptr<ProcessCommandRunner> runner;
  std::unique_ptr<Announcer> announcer;
  QTimer check;
  if (!config.command.empty()) {
    if (config.alarms.rules.empty() && !config.condition.active)
      Log("an alarm Command is set but no [Rule ...] and the insulators' limits are off: nothing to announce");
    runner = std::make_unique<ProcessCommandRunner>(QString::fromStdString(config.command), config.commandTimeout);
    if (!runner->Valid()) {
      Log("the alarm Command names no program");
      return kExitUsage;
    }
    announcer = std::make_unique<Announcer>(*store, options.alarms, config.stateFile, *runner, Log, &options.condition);
    std::string why;
    if (!announcer->Load(why)) {
      Log(why);
      return kExitFailed;
    }
    auto pass = [&] {
      try {
        if (!store->IsOpen()) store->Open();
        announcer->Check();
      } catch (const DbError& e) {
        Log(std::string("alarm check: ") + e.what());
        store->Close();
      }
    };
    QObject::connect(&check, &QTimer::timeout, pass);
    check.start(config.checkInterval);
    QTimer::singleShot(0, pass);
  }

  if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return kExitFailed;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  QSocketNotifier stop(g_stopPipe[0], QSocketNotifier::Read);
  QObject::connect(&stop, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

  const std::string host = address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + config.listen + "]" : config.listen;
  const std::string scheme = tls ? "https" : "http";
  Log("serving " + scheme + "://" + host + ":" + std::to_string(port) + "/ from " + store->Describe() +
      (config.token.empty() ? "" : " (access token required)") +
      (announcer ? "; alarm command " + config.command : ""));
  const int status = app.exec();
  Log("stopping");
  return status == 0 ? kExitOk : kExitFailed;
}
