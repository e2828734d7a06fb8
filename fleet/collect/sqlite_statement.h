// A prepared SQLite statement that finalises itself, with bound parameters
// only, and the schema version of a records database: shared by the
// collector's engine and the dashboard's reader.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "database.h"

namespace varnel::fleet {

class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
      throw DbError(std::string("SQLite: ") + sqlite3_errmsg(db) + " in: " + sql.substr(0, 80));
  }
  ~SqliteStatement() { sqlite3_finalize(stmt_); }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  SqliteStatement& Bind(int i, int64_t v) {
    Check(sqlite3_bind_int64(stmt_, i, v));
    return *this;
  }
  SqliteStatement& Bind(int i, double v) {
    Check(std::isnan(v) ? sqlite3_bind_null(stmt_, i) : sqlite3_bind_double(stmt_, i, v));
    return *this;
  }
  SqliteStatement& Bind(int i, const std::string& v) {
    Check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
  }
  SqliteStatement& BindBlob(int i, const std::string& v) {
    Check(sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
  }
  SqliteStatement& BindNull(int i) {
    Check(sqlite3_bind_null(stmt_, i));
    return *this;
  }
  // Steps once; true while a row is there.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) throw DbError(std::string("SQLite: ") + sqlite3_errmsg(db_));
    return false;
  }
  void Run() {
    Step();
    Reset();
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  // A REAL column; nullopt for NULL.
  std::optional<double> Real(int col) const {
    if (IsNull(col)) return std::nullopt;
    return sqlite3_column_double(stmt_, col);
  }
  std::string Blob(int col) const {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
  }
  std::string Text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
  }

 private:
  void Check(int rc) const {
    if (rc != SQLITE_OK) throw DbError(std::string("SQLite: ") + sqlite3_errmsg(db_));
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// The schema version of a records database: the higher of its user_version
// and the last step recorded in `schema_version` (the collector keeps both
// alike; either one raised by a later release is noticed).  0 for a
// database made before schema versions, which has neither.
inline int SqliteSchemaVersion(sqlite3* db) {
  SqliteStatement user(db, "PRAGMA user_version");
  int64_t version = user.Step() ? user.Int(0) : 0;
  SqliteStatement table(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'");
  if (table.Step() && table.Int(0) > 0) {
    SqliteStatement last(db, "SELECT coalesce(max(version), 0) FROM schema_version");
    if (last.Step()) version = std::max(version, last.Int(0));
  }
  return static_cast<int>(std::min<int64_t>(version, INT32_MAX));
}

}  // namespace varnel::fleet
