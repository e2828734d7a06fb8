// COPY through libpq, both ways: rows sent in COPY's text form while they
// are still being formatted, and rows of a query read back in the binary
// form (no numbers printed by the server and parsed again).
#pragma once

#include <libpq-fe.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::fleet {

// COPY ... FROM STDIN.  Rows are appended to `text` (COPY's text form), and
// RowDone() after each sends what has piled up, so the server stores the
// first rows while the rest are formatted.
class PgCopyIn {
 public:
  // Starts the COPY; throws DbError when the server refuses it.
  PgCopyIn(PGconn* conn, const std::string& sql);
  PgCopyIn(const PgCopyIn&) = delete;
  PgCopyIn& operator=(const PgCopyIn&) = delete;
  // An unfinished COPY is ended as failed: the server drops its rows.
  ~PgCopyIn();
  void RowDone() {
    if (text.size() >= kChunk) Send();
  }
  // Ends the COPY; throws DbError when the server refused any of it.
  void Finish();

  std::string text;

 private:
  static constexpr std::size_t kChunk = 1 << 20;
  void Send();
  void End(const char* error);
  PGconn* conn_;
  bool open_ = true;
  bool sent_ = true;
  std::string why_;
};

// A number for COPY's text form after a tab: the shortest text that reads
// back as the same single ("NaN", "Infinity" as PostgreSQL spells them).
void PgCopyReal(std::string& out, float v);

// COPY ... FROM STDIN (FORMAT binary) through PgCopyIn: the stream's
// header first, then each row's field count and fields, the trailer last.
// The server stores the numbers as sent, without reading text (a float's
// digits, a time's calendar).
void PgBinaryHeader(std::string& out);
void PgBinaryTrailer(std::string& out);
void PgBinaryFields(std::string& out, int16_t count);
void PgBinaryInt2(std::string& out, int16_t v);
void PgBinaryInt4(std::string& out, int32_t v);
void PgBinaryReal(std::string& out, float v);
void PgBinaryDouble(std::string& out, double v);
void PgBinaryText(std::string& out, std::string_view v);
// A timestamptz of the epoch second `epoch`.
void PgBinaryTime(std::string& out, int64_t epoch);

// A row of COPY's binary form: its fields, nullopt for NULL.
using PgBinaryRow = std::vector<std::optional<std::string_view>>;

// COPY (query) TO STDOUT (FORMAT binary), each row to `row`; throws DbError.
void PgCopyOut(PGconn* conn, const std::string& query, const std::function<void(const PgBinaryRow&)>& row);

// A field of the binary form (network byte order) as an unsigned number.
inline uint64_t PgBigEndian(std::string_view bytes) {
  uint64_t v = 0;
  for (unsigned char c : bytes) v = (v << 8) | c;
  return v;
}
// A real (float4) field of the binary form.
inline float PgBinaryFloat(std::string_view field) {
  return std::bit_cast<float>(static_cast<uint32_t>(PgBigEndian(field)));
}
// Seconds from the Unix epoch to PostgreSQL's, 2000-01-01 UTC.
inline constexpr int64_t kPgEpochSeconds = 946684800;
// A timestamptz field (microseconds since 2000-01-01 UTC) as the epoch
// second it falls in.
inline int64_t PgBinaryEpoch(std::string_view field) {
  const auto us = static_cast<int64_t>(PgBigEndian(field));
  return us / 1000000 - (us % 1000000 < 0 ? 1 : 0) + kPgEpochSeconds;
}
// A date field (days since 2000-01-01) as days since 1970-01-01.
inline int64_t PgBinaryDay(std::string_view field) {
  return static_cast<int32_t>(PgBigEndian(field)) + kPgEpochSeconds / 86400;
}

}  // namespace varnel::fleet
