#include "registry/layout.h"

#include <utility>

void GenerateKeyString(const unsigned char* bytes, std::string& key) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text(kKeyBytes * 2, '0');
  for (size_t i = 0; i < kKeyBytes; ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 0x0F];
  }
  key = std::move(text);
}

std::string EncodeLocationRecord(int32_t port, const unsigned char* keyBytes) {
  uint32_t raw = static_cast<uint32_t>(port);
  std::string record;
  for (int shift = 24; shift >= 0; shift -= 8)
    record.push_back(static_cast<char>((raw >> shift) & 0xFF));
  record.append(reinterpret_cast<const char*>(keyBytes), kKeyBytes);
  return record;
}

void DecodeLocationRecord(const unsigned char* record, int32_t& port, std::string& key) {
  uint32_t raw = (uint32_t{record[0]} << 24) | (uint32_t{record[1]} << 16) |
                 (uint32_t{record[2]} << 8) | uint32_t{record[3]};
  port = static_cast<int32_t>(raw);
  GenerateKeyString(record + 4, key);
}
