// Temporary folders and byte helpers for the result-file tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <string>

namespace varnel::store::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnel-store-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    path_ = made != nullptr ? std::filesystem::path(made) : std::filesystem::path();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string Slurp(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[8192];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

inline int16_t I16At(const std::string& b, std::size_t at) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint8_t>(b[at]) |
                                                    (static_cast<uint8_t>(b[at + 1]) << 8)));
}
inline float F32At(const std::string& b, std::size_t at) {
  uint32_t u = 0;
  for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<uint8_t>(b[at + static_cast<std::size_t>(i)]);
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
inline double F64At(const std::string& b, std::size_t at) {
  uint64_t u = 0;
  for (int i = 7; i >= 0; --i) u = (u << 8) | static_cast<uint8_t>(b[at + static_cast<std::size_t>(i)]);
  double d;
  std::memcpy(&d, &u, 8);
  return d;
}

}  // namespace varnel::store::testing
