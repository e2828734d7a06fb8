// A libpq result that clears itself, statements run with bound parameters
// only, and the schema version of a records database: shared by the
// collector's engine and the dashboard's reader.
#pragma once

#include <libpq-fe.h>

#include <string>
#include <utility>
#include <vector>

#include "database.h"

namespace varnel::fleet {

class PgResult {
 public:
  explicit PgResult(PGresult* r) : r_(r) {}
  ~PgResult() { PQclear(r_); }
  PgResult(PgResult&& other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;
  PgResult& operator=(PgResult&&) = delete;
  PGresult* get() const { return r_; }
  int Rows() const { return PQntuples(r_); }
  std::string Text(int row, int col) const { return PQgetvalue(r_, row, col); }
  bool IsNull(int row, int col) const { return PQgetisnull(r_, row, col) != 0; }
  long long Int(int row, int col) const { return std::stoll(Text(row, col)); }

 private:
  PGresult* r_;
};

// A message of libpq without its trailing line ends.
inline std::string PgTrim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// "PostgreSQL" and the settings of a connection string, for messages: the
// password is never shown.
inline std::string PgDescribe(const std::string& connection) {
  std::string out = "PostgreSQL";
  char* err = nullptr;
  PQconninfoOption* opts = PQconninfoParse(connection.c_str(), &err);
  if (!opts) {
    PQfreemem(err);
    return out + " (unreadable connection string)";
  }
  for (PQconninfoOption* o = opts; o->keyword; ++o) {
    const std::string key = o->keyword;
    if (o->val && *o->val && key != "password") out += " " + key + "=" + o->val;
  }
  PQconninfoFree(opts);
  return out;
}

// Runs `sql` with `params` bound as texts ($1, $2, ...); throws DbError when
// the connection is missing or the statement failed.
inline PgResult PgExec(PGconn* conn, const std::string& sql, const std::vector<std::string>& params = {}) {
  if (!conn) throw DbError("PostgreSQL: not connected");
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  PgResult r(params.empty() ? PQexec(conn, sql.c_str())
                            : PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                           values.data(), nullptr, nullptr, 0));
  const ExecStatusType status = r.get() ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    const std::string why = r.get() ? PQresultErrorMessage(r.get()) : PQerrorMessage(conn);
    throw DbError("PostgreSQL: " + PgTrim(why.empty() ? PQerrorMessage(conn) : why));
  }
  return r;
}

// The schema version of a records database: the last step recorded in
// `schema_version`; 0 for a database made before schema versions, which has
// no such table.
inline int PgSchemaVersion(PGconn* conn) {
  if (PgExec(conn, "SELECT to_regclass('schema_version') IS NOT NULL").Text(0, 0) != "t") return 0;
  return static_cast<int>(PgExec(conn, "SELECT coalesce(max(version), 0) FROM schema_version").Int(0, 0));
}

}  // namespace varnel::fleet
