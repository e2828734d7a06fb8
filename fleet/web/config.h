// varnel-web's settings: the command line over the file varnel-web.ini
// (Qt's INI format).
//
//   [Web]
//   Database=records.sqlite        ; or a PostgreSQL connection string
//   Listen=127.0.0.1               ; another address needs a token, and TLS or AllowPlainHttp
//   Port=8710
//   TokenFile=/etc/varnel/web.token  ; the access token (at least 16 characters)
//   TlsCertificate=/etc/varnel/web.crt  ; PEM: serve HTTPS (both or neither)
//   TlsKey=/etc/varnel/web.key          ; PEM, without a pass phrase
//   AllowPlainHttp=false           ; true: plain HTTP on another address
//   QuietMinutes=15                ; a site without records this long is marked
//   SnapshotDir=.                  ; where snapshot files are when not stored
//   StateFile=varnel-web.state     ; what the alarm command has announced
//
//   [Alarms]
//   Stages=caution, warning, danger   ; mild to severe, for every rule
//   HoldMinutes=30                    ; default of the rules
//   Command=/usr/local/bin/varnel-alarm  ; run on every begin and end
//   CommandTimeoutSeconds=120
//   CheckSeconds=30
//
//   [Rule peak current]            ; "Rule " and the rule's name
//   Quantity=peak                  ; a column of channel_records
//   Sites=*                        ; or names, comma-separated
//   Channels=1-16                  ; numbers and ranges: 1-4, 7
//   caution=2                      ; a level per stage, in the quantity's unit
//   warning=5
//   danger=10
//   HoldMinutes=30
//
//   [Condition]                    ; each insulator against its own limit (assessment.h)
//   Active=true                    ; false: no "insulator limit" alarms
//   CriticalPeakMa=20              ; the flashover peak of insulators not in a register
//   caution=0.1                    ; a fraction of the critical peak per stage
//   warning=0.3
//   danger=0.6
//   HoldMinutes=30
//   LeadDays=14                    ; a forecast of danger sooner than this is announced
//   ForecastDays=365               ; the forecast looks back at most this far
//   MinWetDays=6                   ; fewer wet days since the last washing: no forecast
//   Confidence=0.9                 ; of the forecast's interval
//   RainDropFraction=0.5           ; a wet-day peak below this share of the days before: washed by rain
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alarms.h"
#include "assessment.h"

namespace varnel::fleet::web {

struct WebConfig {
  std::string database;
  std::string listen = "127.0.0.1";
  int port = 8710;
  std::string tokenFile;
  std::string token;  // read from the token file (or VARNEL_WEB_TOKEN)
  std::string tlsCertificate;  // PEM files; both empty: plain HTTP
  std::string tlsKey;
  bool allowPlainHttp = false;  // plain HTTP on an address other than loopback
  int64_t quietSeconds = 15 * 60;
  std::string snapshotDir;
  std::string chartDir = "/usr/share/javascript/dygraphs";
  std::string stateFile;
  AlarmSettings alarms;
  ConditionSettings condition;
  std::string command;
  std::chrono::milliseconds commandTimeout{120'000};
  std::chrono::milliseconds checkInterval{30'000};
};

// Reads `path` into `config` (keys it does not name keep their values).
// False with every problem found in `errors`; unknown keys and sections are
// errors too, so that a misspelt level never silently disables an alarm.
bool LoadConfigFile(const std::string& path, WebConfig& config, std::vector<std::string>& errors);

// "1-4, 7" as channel numbers; nullopt when an item is no channel or range.
std::optional<std::vector<int>> ParseChannelSet(const std::vector<std::string>& items);

}  // namespace varnel::fleet::web
