#include "pg_copy.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>

#include "pg_result.h"

namespace varnel::fleet {

PgCopyIn::PgCopyIn(PGconn* conn, const std::string& sql) : conn_(conn) {
  PgResult start(PQexec(conn_, sql.c_str()));
  if (!start.get() || PQresultStatus(start.get()) != PGRES_COPY_IN)
    throw DbError("PostgreSQL: " + PgTrim(start.get() ? PQresultErrorMessage(start.get()) : PQerrorMessage(conn_)));
  text.reserve(kChunk + 4096);
}

PgCopyIn::~PgCopyIn() {
  if (open_) End("abandoned");
}

void PgCopyIn::Finish() {
  Send();
  End(sent_ ? nullptr : "sending failed");
  if (!sent_ || !why_.empty())
    throw DbError("PostgreSQL: COPY failed: " + PgTrim(why_.empty() ? PQerrorMessage(conn_) : why_));
}

void PgCopyIn::Send() {
  if (sent_ && !text.empty()) sent_ = PQputCopyData(conn_, text.data(), static_cast<int>(text.size())) == 1;
  text.clear();
}

void PgCopyIn::End(const char* error) {
  open_ = false;
  if (PQputCopyEnd(conn_, error) != 1) sent_ = false;
  while (PGresult* r = PQgetResult(conn_)) {
    PgResult result(r);
    if (PQresultStatus(r) != PGRES_COMMAND_OK && why_.empty()) why_ = PQresultErrorMessage(r);
  }
}

void PgCopyReal(std::string& out, float v) {
  out += '\t';
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v > 0 ? "Infinity" : "-Infinity";
  } else {
    char buf[32];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
  }
}

namespace {

// `bytes` bytes of `v`, most significant first.
void PutBigEndian(std::string& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}
// A field: its length, then its value.
void PutField(std::string& out, uint64_t v, int bytes) {
  PutBigEndian(out, static_cast<uint64_t>(bytes), 4);
  PutBigEndian(out, v, bytes);
}

}  // namespace

void PgBinaryHeader(std::string& out) {
  out.append("PGCOPY\n\377\r\n\0", 11);
  PutBigEndian(out, 0, 4);  // flags
  PutBigEndian(out, 0, 4);  // no header extension
}
void PgBinaryTrailer(std::string& out) { PutBigEndian(out, 0xffff, 2); }
void PgBinaryFields(std::string& out, int16_t count) { PutBigEndian(out, static_cast<uint16_t>(count), 2); }
void PgBinaryInt2(std::string& out, int16_t v) { PutField(out, static_cast<uint16_t>(v), 2); }
void PgBinaryInt4(std::string& out, int32_t v) { PutField(out, static_cast<uint32_t>(v), 4); }
void PgBinaryReal(std::string& out, float v) { PutField(out, std::bit_cast<uint32_t>(v), 4); }
void PgBinaryDouble(std::string& out, double v) { PutField(out, std::bit_cast<uint64_t>(v), 8); }
void PgBinaryText(std::string& out, std::string_view v) {
  PutBigEndian(out, v.size(), 4);
  out += v;
}
void PgBinaryTime(std::string& out, int64_t epoch) {
  PutField(out, static_cast<uint64_t>((epoch - kPgEpochSeconds) * 1000000), 8);
}

namespace {

// The fields of one row message; false when it is shorter than they say.
bool SplitRow(std::string_view rest, PgBinaryRow& fields, int16_t& count) {
  fields.clear();
  count = static_cast<int16_t>(PgBigEndian(rest.substr(0, 2)));
  rest.remove_prefix(2);
  for (int16_t i = 0; i < count; ++i) {
    if (rest.size() < 4) return false;
    const int32_t length = static_cast<int32_t>(PgBigEndian(rest.substr(0, 4)));
    rest.remove_prefix(4);
    if (length < 0) {
      fields.push_back(std::nullopt);
      continue;
    }
    if (static_cast<std::size_t>(length) > rest.size()) return false;
    fields.push_back(rest.substr(0, static_cast<std::size_t>(length)));
    rest.remove_prefix(static_cast<std::size_t>(length));
  }
  return true;
}

}  // namespace

void PgCopyOut(PGconn* conn, const std::string& query, const std::function<void(const PgBinaryRow&)>& row) {
  {
    PgResult start(PQexec(conn, ("COPY (" + query + ") TO STDOUT (FORMAT binary)").c_str()));
    if (!start.get() || PQresultStatus(start.get()) != PGRES_COPY_OUT)
      throw DbError("PostgreSQL: " + PgTrim(start.get() ? PQresultErrorMessage(start.get()) : PQerrorMessage(conn)));
  }
  // The first message begins with the signature, flags and the length of
  // a header extension, then the extension.
  constexpr std::size_t kHeader = 11 + 4 + 4;
  bool first = true;
  std::string bad;
  PgBinaryRow fields;
  char* data = nullptr;
  int n = 0;
  while ((n = PQgetCopyData(conn, &data, 0)) > 0) {
    std::string_view rest(data, static_cast<std::size_t>(n));
    if (first && rest.size() >= kHeader) {
      rest.remove_prefix(std::min<std::size_t>(rest.size(), kHeader + PgBigEndian(rest.substr(15, 4))));
      first = false;
    }
    int16_t count = 0;
    if (rest.size() >= 2 && bad.empty()) {
      if (!SplitRow(rest, fields, count))
        bad = "a row shorter than its fields";
      else if (count > 0)  // -1: the end
        row(fields);
    }
    PQfreemem(data);
  }
  std::string why = n == -2 ? PQerrorMessage(conn) : bad;
  while (PGresult* r = PQgetResult(conn)) {
    PgResult result(r);
    if (PQresultStatus(r) != PGRES_COMMAND_OK && why.empty()) why = PQresultErrorMessage(r);
  }
  if (!why.empty()) throw DbError("PostgreSQL: reading rows out failed: " + PgTrim(why));
}

}  // namespace varnel::fleet
