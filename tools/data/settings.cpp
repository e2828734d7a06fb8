// varnel-data settings [--keep] [--data-path PATH] DIR
//
// Writes DIR/SETDT.DAT for a new site folder: the window's design settings,
// as Varnel's first start would save them, with the data file in the site
// folder itself (DIR/気象・電流data.csv) unless --data-path names another.
// A site run as a service may write only into its own folder, so its data
// file must lie there; the window's design path is a shared temporary
// folder.  Settings a site has are never replaced: an existing SETDT.DAT
// is an error, or with --keep (a unit's start) quietly left as it is.

#include <filesystem>

#include "command.h"
#include "form/form.h"
#include "form/state.h"
#include "settings/file_write.h"
#include "settings/limits.h"
#include "settings/setdt.h"

namespace varnel::tools {

namespace {

namespace fs = std::filesystem;

// The design data file's name, in a folder of the caller's.
std::string DataPathIn(const fs::path& dir) {
  const std::string design = kDesignDataPath;
  return (fs::absolute(dir) / design.substr(design.rfind('/') + 1)).string();
}

}  // namespace

int RunSettings(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool keep = false;
  std::string dataPath, dir;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--keep") {
      keep = true;
    } else if (a == "--data-path" && i + 1 < args.size()) {
      dataPath = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      err << "varnel-data settings: unknown option \"" << a << "\"\n";
      return kExitRefused;
    } else if (dir.empty()) {
      dir = a;
    } else {
      err << "varnel-data settings: one site folder only\n";
      return kExitRefused;
    }
  }
  if (dir.empty()) {
    err << "varnel-data settings: no site folder given\n";
    return kExitRefused;
  }
  const fs::path file = fs::path(dir) / kSettingsFileName;
  std::error_code ec;
  if (fs::exists(file, ec)) {
    if (keep) return kExitOk;
    err << "varnel-data settings: " << file.string() << " exists; the site has its settings already\n";
    return kExitRefused;
  }

  if (dataPath.empty()) dataPath = DataPathIn(dir);
  if (const PathCheck check = CheckDataPath(dataPath); check.problem != PathProblem::None) {
    err << "varnel-data settings: SETDT.DAT cannot keep the data path " << dataPath
        << (check.character.empty() ? std::string() : " (\"" + check.character + "\" is not in code page 932)") << "\n";
    return kExitRefused;
  }

  // What Varnel's start-up makes of a folder without settings: the load
  // defaults over the window's design values.
  PolModeForm form = MakeDesignForm();
  MeasureState state;
  MeasureSettings settings = STFLood(form, state, dir).settings;
  settings.dataPath = dataPath;
  const auto record = EncodeSettings(settings);
  const WriteResult written = record ? OverwriteFileHead(file, *record) : WriteResult::Failure("the path is too long");
  if (!written) {
    err << "varnel-data settings: " << file.string() << ": " << written.error << "\n";
    return kExitUnreadable;
  }
  out << "wrote " << file.string() << " (data file " << dataPath << ")\n";
  return kExitOk;
}

}  // namespace varnel::tools
