// varnel-data records [--channels 4|8|16] [--thresholds T1,T2,T3,T4] [--cp932] FILE
//
// Prints a binary data file (1000-byte records) as the text form would have
// stored it: the header line, then one line per record with the time as the
// general date-time text and every value as the general text of a single.

#include <filesystem>
#include <fstream>

#include "command.h"
#include "store/record_format.h"
#include "text/numforms.h"

namespace varnel::tools {

namespace {

struct RecordsOptions {
  int channels = 16;
  store::ThresholdTexts thresholds = store::DesignThresholdTexts();
  bool cp932 = false;
  std::string path;
};

bool SplitThresholds(const std::string& list, store::ThresholdTexts* out) {
  store::ThresholdTexts t;
  std::size_t start = 0;
  for (std::size_t j = 0; j < t.size(); ++j) {
    const std::size_t comma = list.find(',', start);
    const bool last = j + 1 == t.size();
    if (last != (comma == std::string::npos)) return false;
    t[j] = list.substr(start, last ? std::string::npos : comma - start);
    if (t[j].empty()) return false;
    start = comma + 1;
  }
  *out = t;
  return true;
}

bool ParseRecordsOptions(const std::vector<std::string>& args, RecordsOptions* o, std::ostream& err) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--channels" && hasValue) {
      const std::string& v = args[++i];
      if (v != "4" && v != "8" && v != "16") {
        err << "varnel-data records: --channels takes 4, 8 or 16, not \"" << v << "\"\n";
        return false;
      }
      o->channels = std::stoi(v);
    } else if (a == "--thresholds" && hasValue) {
      if (!SplitThresholds(args[++i], &o->thresholds)) {
        err << "varnel-data records: --thresholds takes four texts separated by commas, such as 0.5,1,2,5\n";
        return false;
      }
    } else if (a == "--cp932") {
      o->cp932 = true;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      err << "varnel-data records: unknown or incomplete option \"" << a << "\"\n";
      return false;
    } else if (o->path.empty()) {
      o->path = a;
    } else {
      err << "varnel-data records: one file only\n";
      return false;
    }
  }
  if (o->path.empty()) {
    err << "varnel-data records: no file given\n";
    return false;
  }
  return true;
}

}  // namespace

int RunRecords(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  RecordsOptions o;
  if (!ParseRecordsOptions(args, &o, err)) return kExitRefused;

  std::error_code ec;
  const auto size = std::filesystem::file_size(o.path, ec);
  if (ec) {
    err << "varnel-data: cannot read " << o.path << ": " << ec.message() << "\n";
    return kExitUnreadable;
  }
  if (size % store::kRecordBytes != 0) {
    err << "varnel-data: " << o.path << " is not a binary data file: " << size
        << " bytes is not a whole number of 1000-byte records (" << size % store::kRecordBytes
        << " bytes left over)\n";
    return kExitRefused;
  }
  std::ifstream in(o.path, std::ios::binary);
  if (!in) {
    err << "varnel-data: cannot open " << o.path << "\n";
    return kExitUnreadable;
  }

  LineWriter w{out, o.cp932};
  w.Line(store::DataHeaderLine(o.channels, o.thresholds));
  std::string record(store::kRecordBytes, '\0');
  for (std::uintmax_t done = 0; done < size; done += store::kRecordBytes) {
    if (!in.read(record.data(), static_cast<std::streamsize>(record.size()))) {
      err << "varnel-data: " << o.path << " ended early after " << done << " bytes\n";
      return kExitUnreadable;
    }
    const store::BinaryRecord r = store::DecodeBinaryRecord(record);
    w.Line(store::DataRecordLine(text::FromOleDate(r.oleTime), r.values, o.channels));
  }
  out.flush();
  return out ? kExitOk : kExitUnreadable;
}

}  // namespace varnel::tools
