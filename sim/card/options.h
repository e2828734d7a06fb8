// Command line of qda7100-sim.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "profile.h"

namespace cardsim {

struct Options {
  int cardType = 2;
  uint16_t ioBase = 0x300;
  uint16_t irq = 5;
  std::optional<uint32_t> reportedCardType;  // --bad-card-type
  std::map<uint32_t, uint32_t> fail;         // request code -> system error code
  std::map<uint32_t, uint32_t> status;       // request code -> status word
  std::set<uint32_t> shortReply;
  std::set<uint32_t> oversizeReply;
  bool polImmediate = false;
  bool polNever = false;
  bool exitDuringAcquisition = false;
  bool instant = false;
  std::optional<uint32_t> endEarly;  // samples, all channels together
  uint32_t startDelayMs = 0;         // wait for the external start trigger
  uint32_t ringWaiting = 0;
  std::optional<uint32_t> testPendMs = 100;  // nothing = never completes
  // --hang-after N --hang-for MS: after N acquisitions the card hangs for MS.
  uint64_t hangAfter = 0;
  std::optional<uint32_t> hangForMs;  // nothing = no hang
  int groups = 1;
  double powerHz = 50;
  uint64_t seed = 1;
  std::string profileText = "insulators";
  Profile profile = InsulatorProfile();
  std::string deviceDir;  // empty: the standard device folder
  std::string traceFile;  // --trace: empty for none
  bool help = false;
};

// Parses the arguments (without the program name).  False with `error`.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

std::string HelpText();

}  // namespace cardsim
