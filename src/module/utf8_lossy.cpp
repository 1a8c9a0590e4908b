#include <cstdint>

#include "module/text.hpp"

namespace quorvel {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The range the second byte of a sequence must fall in, by lead byte; the
// narrower ranges exclude overlong forms, surrogates and values past U+10FFFF.
struct LeadRule {
  int length;  // 0: not a lead byte
  std::uint8_t second_low;
  std::uint8_t second_high;
};

LeadRule lead_rule(std::uint8_t lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    const LeadRule rule = lead_rule(lead);
    if (rule.length == 1) {
      out.push_back(bytes[i++]);
      continue;
    }
    if (rule.length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    // Take continuation bytes while they are valid; a sequence cut short
    // is replaced as a whole, and the byte that cut it starts afresh.
    std::size_t taken = 1;
    while (taken < static_cast<std::size_t>(rule.length) && i + taken < bytes.size()) {
      const auto next = static_cast<std::uint8_t>(bytes[i + taken]);
      const std::uint8_t low = taken == 1 ? rule.second_low : 0x80;
      const std::uint8_t high = taken == 1 ? rule.second_high : 0xBF;
      if (next < low || next > high) break;
      ++taken;
    }
    if (taken == static_cast<std::size_t>(rule.length)) {
      out.append(bytes.substr(i, taken));
    } else {
      out += kReplacement;
    }
    i += taken;
  }
  return out;
}

}  // namespace quorvel
