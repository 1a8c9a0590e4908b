#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "codec/codec_error.hpp"

namespace quorvel {

// The AMD processor generation that produced a report. A report does not name
// it; it is derived from the report each time it is needed and selects the
// byte layout of the TCB version fields.
class ProcessorGeneration {
 public:
  // The underlying type is fixed, so any 8-bit value is a valid (if unknown)
  // generation; the TCB reader and writer reject the ones that are not listed.
  enum Value : std::uint8_t { Milan, Genoa, Turin };

  constexpr ProcessorGeneration(Value value) noexcept : value_(value) {}  // NOLINT: implicit by design

  // By CPUID family and model bytes (reports of version 3 and later).
  static CodecResult<ProcessorGeneration> from_cpuid(std::uint8_t family, std::uint8_t model);
  // By chip identifier (version-2 reports, which carry no CPUID bytes). Never Milan:
  // a Milan chip reads as Genoa, whose TCB layout is the same.
  static CodecResult<ProcessorGeneration> from_chip_id(const std::array<std::uint8_t, 64>& chip_id);
  // The rule for a whole report: version 2 goes by chip identifier, every
  // higher version by CPUID. Defined for versions 2 and above.
  static CodecResult<ProcessorGeneration> for_report(std::uint32_t version, const std::array<std::uint8_t, 64>& chip_id,
                                                     std::uint8_t family, std::uint8_t model);

  constexpr Value value() const noexcept { return value_; }
  // Whether this is one of the three listed generations.
  constexpr bool is_known() const noexcept { return value_ == Milan || value_ == Genoa || value_ == Turin; }
  friend constexpr bool operator==(ProcessorGeneration, ProcessorGeneration) = default;

 private:
  Value value_;
};

std::string_view generation_name(ProcessorGeneration generation) noexcept;

}  // namespace quorvel
