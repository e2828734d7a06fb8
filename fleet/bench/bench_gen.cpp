// fleet-bench-gen DAYS OUT.bdt RECORDS.csv CHANNELS.csv SITE_ID ZONE
//
// Writes DAYS days of one-minute records of a 16-channel site from
// 2005-01-01 00:00 local time: the binary data file as the measurement
// program writes it, and the rows the collector makes of it as CSV (time
// with the zone's offset), for COPY into `records` and `channel_records`.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "database.h"
#include "site_zone.h"
#include "store/record_format.h"

namespace {

using namespace varnel;

// A small deterministic generator: values that look like a site's.
struct Lcg {
  uint64_t s = 12345;
  float Next(float scale) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<float>((s >> 40) % 100000) / 100000.0f * scale;
  }
};

void Put(std::string& line, float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, ",%.9g", static_cast<double>(v));
  line += buf;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::cerr << "usage: fleet-bench-gen DAYS OUT.bdt RECORDS.csv CHANNELS.csv SITE_ID ZONE\n";
    return 2;
  }
  const int days = std::atoi(argv[1]);
  const std::string siteId = argv[5];
  const auto zone = fleet::SiteZone::Named(argv[6]);
  if (days <= 0 || !zone) {
    std::cerr << "fleet-bench-gen: bad day count or zone\n";
    return 2;
  }
  std::ofstream bdt(argv[2], std::ios::binary), rec(argv[3]), chan(argv[4]);
  Lcg rng;
  const double start = text::ToOleDate({2005, 1, 1, 0, 0, 0, 0});
  std::string line;
  for (long m = 0; m < days * 1440L; ++m) {
    store::BinaryRecord r;
    r.oleTime = start + static_cast<double>(m) / 1440.0;
    for (int k = 0; k < 8; ++k) r.values[store::WeatherIndex(k)] = rng.Next(k == 1 ? 360.0f : 30.0f);
    for (int ch = 0; ch < 16; ++ch) {
      for (int k = 0; k < 6; ++k) r.values[store::ComponentIndex(ch, k)] = rng.Next(2.0f);
      for (int k = 0; k < 9; ++k) r.values[store::PeakIndex(ch, k)] = rng.Next(k == 0 ? 12.0f : 100.0f);
    }
    const std::string bytes = store::EncodeBinaryRecord(r);
    bdt.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

    // The same rows as the collector stores them (the time read back from
    // the file, as the collector reads it).
    const store::BinaryRecord back = store::DecodeBinaryRecord(bytes);
    const std::string time = fleet::IsoLocalText(zone->Resolve(text::FromOleDate(back.oleTime)));
    line = siteId + "," + time + ",16";
    for (int k = 0; k < 8; ++k) Put(line, back.values[store::WeatherIndex(k)]);
    line += ",,,,,f\n";
    rec << line;
    for (int ch = 0; ch < 16; ++ch) {
      line = siteId + "," + std::to_string(ch + 1) + "," + time;
      for (int k = 0; k < 6; ++k) Put(line, back.values[store::ComponentIndex(ch, k)]);
      for (int k = 0; k < 9; ++k) Put(line, back.values[store::PeakIndex(ch, k)]);
      line += '\n';
      chan << line;
    }
  }
  return bdt && rec && chan ? 0 : 1;
}
