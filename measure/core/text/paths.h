// Parts of the data-file path in `Text4`.
#pragma once

#include <string>
#include <string_view>

#include "form/form.h"  // kPathSeparator (header only)

namespace varnel::text {

// The folder part of a path: up to and including its last separator; empty
// when it has none ("/var/tmp/a.csv" -> "/var/tmp/").
std::string FolderPart(std::string_view path);

// The path with the extension of its file name replaced by `ext` (given
// without the dot), or ".ext" appended when the file name has none.  Dots in
// folder names are left alone ("/var/tmp.d/data.csv", "bdt" ->
// "/var/tmp.d/data.bdt"; "/var/tmp/data", "csv" -> "/var/tmp/data.csv").
std::string ReplaceExtension(std::string_view path, std::string_view ext);

}  // namespace varnel::text
