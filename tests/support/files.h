// Whole files read and written by tests, and little-endian numbers read out
// of the bytes (every file format of the system is little-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace lw::testing {

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& file);
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& file);

// Replaces the file with `bytes`; false when it cannot be written.
bool WriteFile(const std::filesystem::path& file, std::string_view bytes);
bool WriteFile(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);
// Adds `bytes` at the end of the file (creating it).
bool AppendFile(const std::filesystem::path& file, std::string_view bytes);

// How many entries the folder holds.
std::size_t FileCount(const std::filesystem::path& folder);

// The unsigned little-endian number of `width` bytes at `at` in `bytes`
// (a std::string or a byte vector).
template <typename Bytes>
uint64_t LittleEndianAt(const Bytes& bytes, std::size_t at, std::size_t width) {
  uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

template <typename Bytes>
uint16_t U16At(const Bytes& bytes, std::size_t at) {
  return static_cast<uint16_t>(LittleEndianAt(bytes, at, 2));
}
template <typename Bytes>
int16_t I16At(const Bytes& bytes, std::size_t at) {
  return static_cast<int16_t>(U16At(bytes, at));
}
template <typename Bytes>
uint32_t U32At(const Bytes& bytes, std::size_t at) {
  return static_cast<uint32_t>(LittleEndianAt(bytes, at, 4));
}
template <typename Bytes>
int32_t I32At(const Bytes& bytes, std::size_t at) {
  return static_cast<int32_t>(U32At(bytes, at));
}
template <typename Bytes>
float F32At(const Bytes& bytes, std::size_t at) {
  const uint32_t bits = U32At(bytes, at);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
template <typename Bytes>
double F64At(const Bytes& bytes, std::size_t at) {
  const uint64_t bits = LittleEndianAt(bytes, at, 8);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace lw::testing
