// Subcommands of varnel-data.  Each lives in its own source file and is
// listed once in main.cpp's table.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace varnel::tools {

// Exit codes shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUnreadable = 1;  // the file cannot be opened or read
inline constexpr int kExitRefused = 2;     // bad arguments, or a file that does not fit its layout

struct Command {
  const char* name;
  const char* usage;    // argument synopsis, after the command name
  const char* summary;  // one line
  int (*run)(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
};

// `varnel-data records`: a binary data file as the text form's CSV.
int RunRecords(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// `varnel-data wave`: a waveform snapshot file as CSV.
int RunWave(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// `varnel-data plot`: a waveform snapshot file as a PNG picture (plot.cpp).
int RunPlot(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// `varnel-data settings`: a new site folder's SETDT.DAT (settings.cpp).
int RunSettings(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Output encoding shared by the commands: UTF-8 with LF, or code page 932
// with CR LF exactly as the data file's text form is written.
struct LineWriter {
  std::ostream& out;
  bool cp932 = false;
  void Line(const std::string& utf8);
};

}  // namespace varnel::tools
