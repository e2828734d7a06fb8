// varnel-data records [--channels 4|8|16] [--thresholds T1,T2,T3,T4] [--cp932] FILE
//
// Prints a binary data file (1000-byte records) as the text form would have
// stored it: the header line, then one line per record with the time as the
// general date-time text and every value as the general text of a single.

#include "command.h"
#include "data_records.h"
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

  // The fleet's reader: the same one that feeds the database.
  std::string why;
  const std::optional<fleet::FileRecords> file = fleet::ReadDataFile(o.path, fleet::RecordForm::kBinary, o.channels, &why);
  if (!file) {
    err << "varnel-data: " << why << "\n";
    return kExitUnreadable;
  }
  if (file->tornTail != 0) {
    const std::size_t size = file->records.size() * store::kRecordBytes + file->tornTail;
    err << "varnel-data: " << o.path << " is not a binary data file: " << size
        << " bytes is not a whole number of 1000-byte records (" << file->tornTail << " bytes left over)\n";
    return kExitRefused;
  }
  for (const std::string& problem : file->problems) err << "varnel-data: " << o.path << ": " << problem << "\n";

  LineWriter w{out, o.cp932};
  w.Line(store::DataHeaderLine(o.channels, o.thresholds));
  for (const fleet::DataRecord& r : file->records) w.Line(store::DataRecordLine(r.time, r.values, o.channels));
  out.flush();
  return out ? kExitOk : kExitUnreadable;
}

}  // namespace varnel::tools
