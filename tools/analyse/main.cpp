// varnel-analyse: re-analysis of recorded blocks and waveform snapshots.
#include <iostream>
#include <string>
#include <vector>

#include "analyse_cli.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return varnel::tools::RunAnalyse(args, std::cout, std::cerr);
}
