// Reply packets built byte by byte for the weather tests.
#pragma once

#include <cstdint>
#include <vector>

namespace varnel::weather::testing {

struct PacketFields {
  uint16_t inTemp = 800;    // tenths °F: 26.7 °C
  uint16_t outTemp = 320;   // 0.0 °C
  uint8_t wind = 10;        // mph: 4.5 m/s
  uint16_t direction = 360;
  uint8_t inHum = 50;
  uint8_t outHum = 75;
  uint16_t rain = 5;        // hundredths of an inch: 1.3 mm
};

// byte 0 = 0x01, 16-bit fields low byte first, bytes 8-9 and 14.. filler.
inline std::vector<uint8_t> Packet(const PacketFields& f, std::size_t length = 17) {
  std::vector<uint8_t> p = {
      0x01,
      static_cast<uint8_t>(f.inTemp & 0xFF),  static_cast<uint8_t>(f.inTemp >> 8),
      static_cast<uint8_t>(f.outTemp & 0xFF), static_cast<uint8_t>(f.outTemp >> 8),
      f.wind,
      static_cast<uint8_t>(f.direction & 0xFF), static_cast<uint8_t>(f.direction >> 8),
      0x9C, 0x74,
      f.inHum, f.outHum,
      static_cast<uint8_t>(f.rain & 0xFF),    static_cast<uint8_t>(f.rain >> 8),
  };
  while (p.size() < length) p.push_back(static_cast<uint8_t>(0xA0 + p.size()));
  p.resize(length);
  return p;
}

inline std::vector<uint8_t> WithWind(uint8_t wind) {
  PacketFields f;
  f.wind = wind;
  return Packet(f);
}

inline std::vector<uint8_t> WithDirection(uint16_t direction) {
  PacketFields f;
  f.direction = direction;
  return Packet(f);
}

}  // namespace varnel::weather::testing
