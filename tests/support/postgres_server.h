// A PostgreSQL server of a test's own: a cluster made with initdb in a
// temporary folder (or a streaming hot standby of another such server, made
// with pg_basebackup) and run with pg_ctl on a Unix socket in that folder,
// with no TCP port at all.  Run as root, the server runs as the `postgres`
// user (PostgreSQL refuses to run as root).  The server is stopped and the
// folder removed when the object goes away.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace lw::testing {

class PostgresServer {
 public:
  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // The folder holding initdb and pg_ctl (LW_PG_BIN, Debian's
  // /usr/lib/postgresql/N/bin, or the PATH); nullopt when none is installed.
  static std::optional<std::filesystem::path> FindBinDir();

  // initdb and the first start; false with the reason.
  bool Setup(std::string& why);
  // Instead of Setup: a streaming hot standby of `primary`, a running
  // server of this class.  A base backup taken over the primary's socket
  // (pg_basebackup -R, so the standby's connection to the primary comes
  // with it; initdb's pg_hba lets local replication in), then the first
  // start.  It answers read-only sessions and replays what the primary
  // writes as it comes; false with the reason.
  bool SetupStandby(const PostgresServer& primary, std::string& why);
  // On a standby: waits until it has replayed everything `primary` had
  // written when called; false at the deadline (the reason in `why`).
  bool WaitForReplay(const PostgresServer& primary, std::chrono::milliseconds deadline, std::string& why) const;
  bool Start(std::string& why);
  // A fast shutdown (connections are ended, the server stops cleanly).
  bool Stop(std::string& why);

  // libpq connection string of the server's database "postgres", or of
  // another database of the server.
  std::string ConnectionString(const std::string& database = "postgres") const;
  // A new empty database (one left by an earlier run is dropped first), for
  // a test whose tables must not meet the other tests' rows; its connection
  // string, or "" with the reason in `why`.
  std::string CreateDatabase(const std::string& name, std::string& why) const;

  // Runs one statement; the rows as texts (NULL as ""), or nullopt with
  // the reason in *why.
  std::optional<std::vector<std::vector<std::string>>> Query(const std::string& sql, std::string* why = nullptr) const;
  // The single value of a query, or "" on failure.
  std::string Value(const std::string& sql) const;
  // What the server has written to its log so far: its own events and
  // every statement that failed, with the error.
  std::string Log() const;

 private:
  bool Run(const std::vector<std::string>& command, std::string& why);
  // The programs' folder found, and this server's folders made its user's.
  bool Prepare(std::string& why);
  std::filesystem::path SocketDir() const { return dir_.Path() / "socket"; }

  TempDir dir_;
  std::filesystem::path bin_;
  bool running_ = false;
};

// One server for all the tests of a test program, started at the first
// call and stopped when the program ends; nullptr, with a test failure,
// when it cannot start.
PostgresServer* SharedPostgresServer();

}  // namespace lw::testing
