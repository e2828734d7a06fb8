#include "settings/errlog.h"

#include "text/cp932.h"

namespace varnel {

std::string ErrorLogLine(const std::string& message, const std::string& windDirectionText,
                         const text::LocalDateTime& now) {
  return text::GeneralDateTime(now) + "," + message + "," + windDirectionText + ",異常終了\r\n";
}

WriteResult LogPR(const std::string& message, const std::string& windDirectionText, const text::LocalDateTime& now,
                  const std::filesystem::path& dir) {
  return AppendToFile(dir / kErrorLogFileName, text::ToCp932(ErrorLogLine(message, windDirectionText, now)));
}

}  // namespace varnel
