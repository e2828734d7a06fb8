// varnel-web's pages and JSON endpoints, free of any network code: a
// request (method, path, query, headers) in, a response out.  The HTTP
// server (http_server.h) only carries them.
//
// Pages                         JSON (the same data, for other tools)
//   /                the fleet    /api/fleet
//   /site?site=NAME  a site       /api/trend, /api/weather, /api/alarms, /api/snapshots,
//                                 /api/indicators (one insulator's days)
//   /snapshot?...    a waveform   /api/snapshot
//   /wash            every insulator ranked for washing   /api/condition
//   POST /event      the maintenance form (with the access token only)
// Texts in Japanese or English, from the browser's Accept-Language (or
// ?lang=ja|en).
//   /static/...      the chart library (Debian's dygraphs, from its folder) and the pages' script and style
//
// Every value from the database or a request is escaped where it enters a
// page; the pages load no script but the server's own (a Content Security
// Policy says so to the browser).  A bad parameter is answered with 400 and
// a message saying which and why; a database that cannot be read with 503.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "alarms.h"
#include "assessment.h"
#include "store.h"

namespace varnel::fleet::web {

struct HttpRequest {
  std::string method = "GET";
  std::string path;                                        // decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;  // decoded, in order
  std::map<std::string, std::string> headers;              // names in lower case
  std::string body;                                        // of a POST
};

struct HttpResponse {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // beyond the type and the security headers
};

struct DashboardOptions {
  AlarmSettings alarms;
  // The insulators' own limits and the forecast (assessment.h).
  ConditionSettings condition;
  // Enters a maintenance event from the dashboard's form (only with the
  // access token); false with the reason when the database refused it.
  // Empty: the form is not offered.
  std::function<bool(int64_t site, const MaintenanceEvent& event, std::string& why)> addEvent;
  // A site without a record for this long is marked quiet.
  int64_t quietSeconds = 15 * 60;
  // The highest peak of the fleet page looks back this far from a site's
  // newest record.
  int64_t peakWindowSeconds = 24 * 3600;
  // Empty: no token (loopback only; then the Host must be a loopback name).
  std::string token;
  // Served over TLS: the token's cookie is marked Secure, so that the
  // browser never sends it over plain HTTP.
  bool servedOverTls = false;
  // Debian's dygraphs (dygraph.min.js, dygraph.min.css).
  std::filesystem::path chartDir = "/usr/share/javascript/dygraphs";
  // Where snapshot files are looked for when the database does not hold
  // them (the data file's folder); empty: nowhere.
  std::filesystem::path snapshotDir;
  int defaultPoints = 600;
  int maxPoints = 5000;
  std::function<int64_t()> now;  // seconds since the epoch
  std::function<void(const std::string&)> log;
};

class Dashboard {
 public:
  Dashboard(FleetStore& store, DashboardOptions options);
  HttpResponse Handle(const HttpRequest& request);

 private:
  HttpResponse Route(const HttpRequest& request);
  FleetStore& store_;
  DashboardOptions options_;
};

// Text for an HTML element or a quoted attribute: & < > " ' escaped.
std::string HtmlEscape(std::string_view text);
// Equal in time that does not depend on where they differ.
bool SameToken(std::string_view given, std::string_view expected);

}  // namespace varnel::fleet::web
