#include "text/cp932.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace varnel::text {

namespace {

// One conversion descriptor per call: iconv descriptors are not shareable
// between threads, and the files that use this are small and infrequent.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1))
      throw std::runtime_error(std::string("code page conversion not available: ") + from + " -> " + to);
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts as much as possible; returns false at the first byte sequence
  // that cannot be converted (errno tells why), with `in` at that sequence.
  bool Run(const char*& in, std::size_t& inLeft, std::string& out) {
    while (inLeft > 0) {
      char buf[256];
      char* outPtr = buf;
      std::size_t outLeft = sizeof buf;
      char* inPtr = const_cast<char*>(in);  // iconv's signature is not const-correct
      const std::size_t r = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
      const int err = errno;
      out.append(buf, static_cast<std::size_t>(outPtr - buf));
      in = inPtr;
      if (r == static_cast<std::size_t>(-1) && err != E2BIG) {
        errno = err;
        return false;
      }
    }
    return true;
  }

  void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 sequence that starts at `s[0]`, at least 1, never past
// the end: used to step over a character that has no code page 932 form.
std::size_t Utf8SequenceLength(const char* s, std::size_t left) {
  const auto lead = static_cast<unsigned char>(s[0]);
  std::size_t len = 1;
  if (lead >= 0xF0)
    len = 4;
  else if (lead >= 0xE0)
    len = 3;
  else if (lead >= 0xC0)
    len = 2;
  std::size_t n = 1;
  while (n < len && n < left && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) ++n;
  return n;
}

}  // namespace

std::string ToCp932(std::string_view utf8) {
  Converter conv("CP932", "UTF-8");
  std::string out;
  out.reserve(utf8.size() * 2);
  const char* in = utf8.data();
  std::size_t left = utf8.size();
  while (!conv.Run(in, left, out)) {
    // Not representable (or not UTF-8): one "?" for the character.
    out.push_back('?');
    const std::size_t skip = Utf8SequenceLength(in, left);
    in += skip;
    left -= skip;
    conv.Reset();
  }
  return out;
}

std::optional<std::string> FromCp932(std::string_view cp932) {
  Converter conv("UTF-8", "CP932");
  std::string out;
  out.reserve(cp932.size() * 3);
  const char* in = cp932.data();
  std::size_t left = cp932.size();
  if (!conv.Run(in, left, out)) return std::nullopt;
  return out;
}

std::optional<std::string> FirstCharacterNotKeptByCp932(std::string_view utf8) {
  auto kept = [](std::string_view piece) {
    Converter conv("CP932", "UTF-8");
    std::string cp932;
    const char* in = piece.data();
    std::size_t left = piece.size();
    return conv.Run(in, left, cp932) && FromCp932(cp932) == std::string(piece);
  };
  if (kept(utf8)) return std::nullopt;
  // Character by character, to name the first that is not kept.
  for (std::size_t at = 0; at < utf8.size();) {
    const std::size_t len = Utf8SequenceLength(utf8.data() + at, utf8.size() - at);
    const std::string_view character = utf8.substr(at, len);
    if (!kept(character)) return std::string(character);
    at += len;
  }
  // Each character is kept but the whole is not (cannot happen with a
  // stateless code page); name none rather than claim all is well.
  return std::string();
}

std::size_t CharCount(std::string_view utf8) {
  std::size_t n = 0;
  for (char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace varnel::text
