// varnel-data: reads the measurement program's result files.
//
//   varnel-data records [--channels 4|8|16] [--thresholds a,b,c,d] [--cp932] FILE
//   varnel-data wave [--cp932] FILE
//   varnel-data settings [--keep] [--data-path PATH] DIR
//   varnel-data FILE        (a name ending in "Wev.dat" is a waveform file,
//                            anything else a binary data file)
//
// A new subcommand lives in its own source file and adds one line to the
// table below.

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"

namespace {

using varnel::tools::Command;

const Command kCommands[] = {
    {"records", "[--channels 4|8|16] [--thresholds T1,T2,T3,T4] [--cp932] FILE",
     "a binary data file as CSV with the text form's header and columns", varnel::tools::RunRecords},
    {"wave", "[--cp932] FILE", "a waveform snapshot file as CSV of sample index and the count of every channel",
     varnel::tools::RunWave},
    {"plot", "[--shunt OHMS] [--card bipolar|unipolar] [--interval US] [--width PX] [--height PX] [-o OUT.png|-] FILE",
     "a waveform snapshot file drawn as the window's graph, to a PNG", varnel::tools::RunPlot},
    {"settings", "[--keep] [--data-path PATH] DIR",
     "a new site folder's SETDT.DAT: the window's design settings, the data file in DIR", varnel::tools::RunSettings},
};

void Usage(std::ostream& out) {
  out << "usage: varnel-data COMMAND [OPTIONS] FILE\n       varnel-data FILE\n\ncommands:\n";
  for (const Command& c : kCommands) out << "  " << c.name << " " << c.usage << "\n      " << c.summary << "\n";
  out << "\n--cp932 writes code page 932 with CR LF, byte for byte as the data file's text form;\n"
         "otherwise the output is UTF-8.  Exit status: 0 done, 1 file unreadable, 2 bad\n"
         "arguments or a file that does not fit its layout.\n";
}

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    Usage(args.empty() ? std::cerr : std::cout);
    return args.empty() ? varnel::tools::kExitRefused : varnel::tools::kExitOk;
  }
  for (const Command& c : kCommands) {
    if (args[0] == c.name) {
      args.erase(args.begin());
      return c.run(args, std::cout, std::cerr);
    }
  }
  // No command word: options and one file, told apart by the name the
  // program gives waveform files.
  const bool optionsFirst = !args[0].empty() && args[0][0] == '-';
  if (!optionsFirst && args.size() > 1) {
    std::cerr << "varnel-data: unknown command \"" << args[0] << "\"\n";
    Usage(std::cerr);
    return varnel::tools::kExitRefused;
  }
  return EndsWith(args.back(), "Wev.dat") ? varnel::tools::RunWave(args, std::cout, std::cerr)
                                          : varnel::tools::RunRecords(args, std::cout, std::cerr);
}
