// COPY's binary form as the collector writes it, byte for byte against the
// layout PostgreSQL reads (its documentation of COPY BINARY): no server.
#include <gtest/gtest.h>

#include <string>

#include "pg_copy.h"

namespace varnel::fleet {
namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += static_cast<char>(b);
  return out;
}

TEST(PgBinaryCopy, HeaderRowsAndTrailerAreLaidOutAsTheServerReadsThem) {
  std::string out;
  PgBinaryHeader(out);
  EXPECT_EQ(out, Bytes({'P', 'G', 'C', 'O', 'P', 'Y', '\n', 0xff, '\r', '\n', 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  // One row: 4 fields, each its length and then its value, most
  // significant byte first.
  out.clear();
  PgBinaryFields(out, 4);
  PgBinaryInt4(out, 258);
  PgBinaryInt2(out, -2);
  PgBinaryReal(out, 1.5f);        // 0x3fc00000
  PgBinaryText(out, "peak");
  EXPECT_EQ(out, Bytes({0, 4, 0, 0, 0, 4, 0, 0, 1, 2, 0, 0, 0, 2, 0xff, 0xfe, 0, 0, 0, 4, 0x3f, 0xc0, 0, 0,
                        0, 0, 0, 4, 'p', 'e', 'a', 'k'}));

  // Times count microseconds from 2000-01-01 00:00 UTC (epoch 946684800):
  // one second after it is 1,000,000 = 0x0f4240, one second before it
  // the same negative.
  out.clear();
  PgBinaryTime(out, 946684801);
  PgBinaryTime(out, 946684799);
  EXPECT_EQ(out, Bytes({0, 0, 0, 8, 0, 0, 0, 0, 0, 0x0f, 0x42, 0x40,
                        0, 0, 0, 8, 0xff, 0xff, 0xff, 0xff, 0xff, 0xf0, 0xbd, 0xc0}));

  out.clear();
  PgBinaryDouble(out, -2.0);  // 0xc000000000000000
  PgBinaryTrailer(out);
  EXPECT_EQ(out, Bytes({0, 0, 0, 8, 0xc0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}));
}

}  // namespace
}  // namespace varnel::fleet
