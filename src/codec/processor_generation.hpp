#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "codec/codec_error.hpp"

namespace quorvel {

// The AMD processor generation that produced a report. A report does not name
// it; it is derived from the report each time it is needed, and within the
// codec it selects only the byte layout of the four TCB version fields.
class ProcessorGeneration {
 public:
  // The underlying type is fixed, so any 8-bit value can be formed; only the
  // enumerators have a TCB layout (see tcb_layout).
  enum Value : std::uint8_t { Milan, Genoa, Turin };

  constexpr ProcessorGeneration(Value value) noexcept : value_(value) {}  // NOLINT: implicit by design

  // By CPUID family and model bytes (reports of version 3 and later).
  static CodecResult<ProcessorGeneration> from_cpuid(std::uint8_t family, std::uint8_t model);
  // By chip identifier (version-2 reports, which carry no CPUID bytes). Never Milan:
  // a Milan chip reads as Genoa, whose TCB layout is the same.
  static CodecResult<ProcessorGeneration> from_chip_id(std::span<const std::uint8_t, 64> chip_id);
  // The rule for a whole report: version 2 goes by chip identifier, every
  // higher version by CPUID. Defined for versions 2 and above.
  static CodecResult<ProcessorGeneration> for_report(std::uint32_t version, std::span<const std::uint8_t, 64> chip_id,
                                                     std::uint8_t family, std::uint8_t model);

  constexpr Value value() const noexcept { return value_; }
  friend constexpr bool operator==(ProcessorGeneration, ProcessorGeneration) = default;

 private:
  Value value_;
};

// The byte layouts of a TCB version field.
enum class TcbLayout : std::uint8_t { MilanGenoa, Turin };

// The TCB layout of `generation`; nothing for a value outside the enumerators,
// which the rule never yields. Every enumerator must have a case: the switch
// has no default, so a generation added without one fails to compile.
constexpr std::optional<TcbLayout> tcb_layout(ProcessorGeneration generation) noexcept {
  switch (generation.value()) {
    case ProcessorGeneration::Milan:
    case ProcessorGeneration::Genoa: return TcbLayout::MilanGenoa;
    case ProcessorGeneration::Turin: return TcbLayout::Turin;
  }
  return std::nullopt;
}

// Where each component of a TCB version sits within its 8 bytes. Every byte
// not named here is reserved: ignored on reading, zero on writing.
struct TcbPositions {
  std::optional<std::uint8_t> fmc;  // absent when the layout has no fmc
  std::uint8_t bootloader;
  std::uint8_t tee;
  std::uint8_t snp;
  std::uint8_t microcode;
};

constexpr TcbPositions tcb_positions(TcbLayout layout) noexcept {
  switch (layout) {
    case TcbLayout::MilanGenoa: return {.fmc = std::nullopt, .bootloader = 0, .tee = 1, .snp = 6, .microcode = 7};
    case TcbLayout::Turin: return {.fmc = 0, .bootloader = 1, .tee = 2, .snp = 3, .microcode = 7};
  }
  return {};
}

}  // namespace quorvel
