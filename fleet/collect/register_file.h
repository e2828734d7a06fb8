// A site's register of insulators, kept by the people who look after the
// site in a small INI file beside the data (insulators.ini in the site
// folder); the collector stores it in the database, where varnel-web
// finds every site's register.
//
//   [Channel 3]
//   Name=Line 2 phase T, tension string
//   Type=porcelain cap-and-pin, 11 units
//   CriticalPeakMa=180     ; the peak at which it flashed over in the laboratory
//
// A channel not named, or without a critical peak, takes the fleet's
// default (varnel-web.ini).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "database.h"

namespace varnel::fleet {

inline constexpr const char* kRegisterFileName = "insulators.ini";

// The entries of `path` in channel order; nullopt with every problem in
// `errors` (unknown sections and keys are problems too, so that a
// misspelt limit never silently takes the default).
std::optional<std::vector<InsulatorEntry>> LoadRegisterFile(const std::string& path, std::vector<std::string>& errors);

}  // namespace varnel::fleet
