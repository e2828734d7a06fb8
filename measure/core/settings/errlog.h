// ErrLog.csv: one line for every end of the program on a fatal set-up error.
#pragma once

#include <filesystem>
#include <string>

#include "settings/file_write.h"
#include "text/numforms.h"

namespace varnel {

inline constexpr const char* kErrorLogFileName = "ErrLog.csv";

// The line in UTF-8: date-time, ",", message, ",", wind direction text,
// ",異常終了", CR LF.  Fields are not quoted.
std::string ErrorLogLine(const std::string& message, const std::string& windDirectionText,
                         const text::LocalDateTime& now);

// Appends the line to `dir`/ErrLog.csv in code page 932, creating the file
// when missing; the file is open only during the call.  The line is written
// whole or not at all; a failure is returned so that the caller can report
// it (the program ends right afterwards either way).
WriteResult LogPR(const std::string& message, const std::string& windDirectionText, const text::LocalDateTime& now,
                  const std::filesystem::path& dir);

}  // namespace varnel
