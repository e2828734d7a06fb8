#include "command.h"
#include "text/cp932.h"

namespace varnel::tools {

void LineWriter::Line(const std::string& utf8) {
  if (cp932) {
    out << text::ToCp932(utf8) << "\r\n";
  } else {
    out << utf8 << '\n';
  }
}

}  // namespace varnel::tools
