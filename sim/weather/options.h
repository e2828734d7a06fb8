// Command line of weather-station-sim.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "profile.h"

namespace weathersim {

struct Options {
  std::string linkPath;          // --link: symlink to the device, "" for none
  Profile profile = Profile::Day(12.0, 1.0);
  int delayMs = 20;              // reply delay after a request
  std::size_t length = kPacketLength;
  bool silent = false;
  bool wrongFirstByte = false;
  bool split = false;
  int splitGapMs = 50;
  bool shortReply = false;       // only the first kShortLength bytes
  std::size_t extra = 0;
  bool burst = false;
  int burstMs = 2000;
  bool garbage = false;
  bool verbose = false;
  bool help = false;
};

inline constexpr std::size_t kShortLength = 10;
inline constexpr std::size_t kGarbageLength = 3;

// nullopt with a message when the command line is not valid.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error);
std::string UsageText();

// The bytes the station sends for its `replyIndex`-th packet, as the pieces
// it writes one after another (more than one piece with --split).
std::vector<std::vector<uint8_t>> BuildReply(const Options& o, uint64_t replyIndex, double elapsedSeconds);

}  // namespace weathersim
