#include "postgres_server.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "files.h"

namespace lw::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Makes `path` the postgres user's when the test runs as root.
bool GiveToPostgres(const fs::path& path, std::string& why) {
  if (::geteuid() != 0) return true;
  const passwd* pw = ::getpwnam("postgres");
  if (!pw) {
    why = "running as root, but there is no postgres user to run the server";
    return false;
  }
  if (::chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
    why = "cannot hand " + path.string() + " to the postgres user";
    return false;
  }
  return true;
}

}  // namespace

PostgresServer::PostgresServer() : dir_("lw-pg") {}

PostgresServer::~PostgresServer() {
  if (running_) {
    std::string why;
    Run({(bin_ / "pg_ctl").string(), "-D", (dir_.Path() / "data").string(), "-m", "immediate", "-w", "stop"}, why);
  }
}

std::optional<fs::path> PostgresServer::FindBinDir() {
  if (const char* env = std::getenv("LW_PG_BIN"); env && *env) return fs::path(env);
  std::error_code ec;
  std::vector<fs::path> found;
  for (fs::directory_iterator it("/usr/lib/postgresql", ec), end; !ec && it != end; it.increment(ec))
    if (fs::exists(it->path() / "bin" / "initdb")) found.push_back(it->path() / "bin");
  if (!found.empty()) {
    // The newest version: folder names are major version numbers.
    std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
      return std::atoi(a.parent_path().filename().c_str()) < std::atoi(b.parent_path().filename().c_str());
    });
    return found.back();
  }
  if (const auto initdb = FindProgram("initdb"); initdb && fs::exists(initdb->parent_path() / "pg_ctl"))
    return initdb->parent_path();
  return std::nullopt;
}

bool PostgresServer::Run(const std::vector<std::string>& command, std::string& why) {
  std::vector<std::string> args;
  fs::path program = command.front();
  if (::geteuid() == 0) {
    args = {"-u", "postgres", "--"};
    args.insert(args.end(), command.begin(), command.end());
    program = "/usr/sbin/runuser";
  } else {
    args.assign(command.begin() + 1, command.end());
  }
  ChildProcess p(program, args, {.workingDir = dir_.Path(), .environment = {{"LC_ALL", "C"}}});
  const std::optional<int> status = p.WaitForExit(120s);
  if (status != 0) {
    why = command.front() + " failed: " + p.Output();
    return false;
  }
  return true;
}

bool PostgresServer::Prepare(std::string& why) {
  const auto bin = FindBinDir();
  if (!bin) {
    why = "PostgreSQL's initdb is not installed (scripts/setup.sh installs it)";
    return false;
  }
  bin_ = *bin;
  fs::create_directories(SocketDir());
  return GiveToPostgres(dir_.Path(), why) && GiveToPostgres(SocketDir(), why);
}

bool PostgresServer::Setup(std::string& why) {
  if (!Prepare(why)) return false;
  if (!Run({(bin_ / "initdb").string(), "-D", (dir_.Path() / "data").string(), "-U", "postgres", "-A", "trust",
            "-E", "UTF8", "--locale=C", "--no-sync"},
           why))
    return false;
  return Start(why);
}

bool PostgresServer::SetupStandby(const PostgresServer& primary, std::string& why) {
  if (!Prepare(why)) return false;
  if (!fs::exists(bin_ / "pg_basebackup")) {
    why = "PostgreSQL's pg_basebackup is not installed (postgresql-client; scripts/setup.sh installs it)";
    return false;
  }
  // -R writes standby.signal and primary_conninfo (the primary's socket);
  // -X stream brings the WAL written meanwhile, and a fast checkpoint
  // starts the backup at once instead of after a spread one.
  if (!Run({(bin_ / "pg_basebackup").string(), "-D", (dir_.Path() / "data").string(), "-h",
            primary.SocketDir().string(), "-p", "5432", "-U", "postgres", "-R", "-X", "stream", "-c", "fast",
            "--no-sync"},
           why))
    return false;
  return Start(why);
}

bool PostgresServer::WaitForReplay(const PostgresServer& primary, std::chrono::milliseconds deadline,
                                   std::string& why) const {
  const std::string written = primary.Value("SELECT pg_current_wal_lsn()");
  if (written.empty()) {
    why = "the primary does not say how far it has written";
    return false;
  }
  const std::string caughtUp = "SELECT pg_last_wal_replay_lsn() >= '" + written + "'::pg_lsn";
  if (WaitUntil([&] { return Value(caughtUp) == "t"; }, [] { std::this_thread::sleep_for(20ms); }, deadline))
    return true;
  why = "the standby replayed only up to " + Value("SELECT pg_last_wal_replay_lsn()") + " of " + written;
  return false;
}

bool PostgresServer::Start(std::string& why) {
  // No TCP at all: the socket in the test's folder is the only way in.
  const std::string options = "-c listen_addresses='' -c unix_socket_directories='" + SocketDir().string() +
                              "' -c fsync=off -c max_connections=20";
  if (!Run({(bin_ / "pg_ctl").string(), "-D", (dir_.Path() / "data").string(), "-l",
            (dir_.Path() / "server.log").string(), "-o", options, "-w", "-t", "60", "start"},
           why))
    return false;
  running_ = true;
  return true;
}

bool PostgresServer::Stop(std::string& why) {
  if (!Run({(bin_ / "pg_ctl").string(), "-D", (dir_.Path() / "data").string(), "-m", "fast", "-w", "-t", "60",
            "stop"},
           why))
    return false;
  running_ = false;
  return true;
}

std::string PostgresServer::ConnectionString(const std::string& database) const {
  return "host=" + SocketDir().string() + " port=5432 user=postgres dbname=" + database;
}

std::string PostgresServer::CreateDatabase(const std::string& name, std::string& why) const {
  // One statement each: CREATE DATABASE runs outside any transaction.
  if (!Query("DROP DATABASE IF EXISTS \"" + name + "\"", &why) || !Query("CREATE DATABASE \"" + name + "\"", &why))
    return "";
  return ConnectionString(name);
}

std::optional<std::vector<std::vector<std::string>>> PostgresServer::Query(const std::string& sql,
                                                                           std::string* why) const {
  PGconn* conn = PQconnectdb((ConnectionString() + " connect_timeout=10").c_str());
  std::optional<std::vector<std::vector<std::string>>> rows;
  if (PQstatus(conn) != CONNECTION_OK) {
    if (why) *why = PQerrorMessage(conn);
    PQfinish(conn);
    return rows;
  }
  PGresult* r = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(r);
  if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
    rows.emplace();
    for (int i = 0; i < PQntuples(r); ++i) {
      std::vector<std::string> row;
      for (int j = 0; j < PQnfields(r); ++j) row.emplace_back(PQgetvalue(r, i, j));
      rows->push_back(std::move(row));
    }
  } else if (why) {
    *why = PQresultErrorMessage(r);
  }
  PQclear(r);
  PQfinish(conn);
  return rows;
}

std::string PostgresServer::Value(const std::string& sql) const {
  const auto rows = Query(sql);
  return rows && !rows->empty() && !rows->front().empty() ? rows->front().front() : std::string();
}

std::string PostgresServer::Log() const { return ReadFile(dir_.Path() / "server.log"); }

PostgresServer* SharedPostgresServer() {
  static std::unique_ptr<PostgresServer> server = [] {
    auto s = std::make_unique<PostgresServer>();
    std::string why;
    if (!s->Setup(why)) {
      ADD_FAILURE() << "cannot start PostgreSQL: " << why;
      return std::unique_ptr<PostgresServer>();
    }
    return s;
  }();
  return server.get();
}

}  // namespace lw::testing
