#include "text/paths.h"

namespace varnel::text {

std::string FolderPart(std::string_view path) {
  const std::size_t sep = path.rfind(kPathSeparator);
  return sep == std::string_view::npos ? std::string() : std::string(path.substr(0, sep + 1));
}

std::string ReplaceExtension(std::string_view path, std::string_view ext) {
  const std::size_t sep = path.rfind(kPathSeparator);
  const std::size_t nameStart = sep == std::string_view::npos ? 0 : sep + 1;
  const std::size_t dot = path.rfind('.');
  const std::size_t stemEnd = (dot != std::string_view::npos && dot >= nameStart) ? dot : path.size();
  std::string out(path.substr(0, stemEnd));
  out += '.';
  out += ext;
  return out;
}

}  // namespace varnel::text
