#pragma once

// What the fuzz targets share: a property check that aborts (so libFuzzer
// keeps the input), and the targets' own model of the processor generations
// and their TCB layouts, written independently of the codec. A generation
// added to the codec is added here too.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>

#include "codec/tcb_version.hpp"

#define FUZZ_CHECK(condition)                                           \
  do {                                                                  \
    if (!(condition)) fuzz_model::fail(__FILE__, __LINE__, #condition); \
  } while (false)

namespace fuzz_model {

using quorvel::ProcessorGeneration;
using quorvel::TcbVersion;

[[noreturn]] inline void fail(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, condition);
  std::abort();
}

const std::string kUnknownGeneration =
    "Custom { kind: InvalidData, error: \"processor is not of know SEV-SNP generation.\" }";
const std::string kUnknownModel = "Custom { kind: InvalidData, error: \"processor is not of know SEV-SNP model.\" }";
const std::string kMaskedChipId = "Custom { kind: Other, error: MaskedChipId }";

// The outcome of the generation rule: a generation, or the rendering of its failure.
struct Generation {
  std::string failure;  // empty on success
  std::optional<ProcessorGeneration::Value> value;
};

// By the CPUID ranges of each generation (versions 3 and later).
inline Generation generation_by_cpuid(std::uint8_t family, std::uint8_t model) {
  if (family == 0x19) {
    if (model <= 0x0F) return {{}, ProcessorGeneration::Milan};
    if ((model >= 0x10 && model <= 0x1F) || (model >= 0xA0 && model <= 0xAF)) return {{}, ProcessorGeneration::Genoa};
    return {kUnknownModel, {}};
  }
  if (family == 0x1A) {
    if (model <= 0x11) return {{}, ProcessorGeneration::Turin};
    return {kUnknownModel, {}};
  }
  return {kUnknownGeneration, {}};
}

// By chip identifier (version 2): all zero is masked, only the first 8
// bytes set is Turin, anything else Genoa.
inline Generation generation_by_chip_id(std::span<const std::uint8_t, 64> chip_id) {
  const auto zero_from = [&](std::size_t first) {
    for (std::size_t i = first; i < chip_id.size(); ++i) {
      if (chip_id[i] != 0) return false;
    }
    return true;
  };
  if (zero_from(0)) return {kMaskedChipId, {}};
  return {{}, zero_from(8) ? ProcessorGeneration::Turin : ProcessorGeneration::Genoa};
}

// A TCB layout, byte by byte: which component each of the 8 bytes of a
// field holds.
enum class Component { Reserved, Fmc, Bootloader, Tee, Snp, Microcode };
using TcbLayout = std::array<Component, 8>;

using enum Component;
inline constexpr TcbLayout kMilanGenoaLayout = {Bootloader, Tee,      Reserved, Reserved,
                                                Reserved,   Reserved, Snp,      Microcode};
inline constexpr TcbLayout kTurinLayout = {Fmc, Bootloader, Tee, Snp, Reserved, Reserved, Reserved, Microcode};

// The TCB layout of a generation value; nothing for a value outside the
// generations, which the codec refuses.
inline std::optional<TcbLayout> tcb_layout_of(std::uint8_t generation) {
  switch (generation) {
    case ProcessorGeneration::Milan:
    case ProcessorGeneration::Genoa: return kMilanGenoaLayout;
    case ProcessorGeneration::Turin: return kTurinLayout;
    default: return std::nullopt;
  }
}

inline bool has_fmc(const TcbLayout& layout) {
  for (const Component c : layout) {
    if (c == Fmc) return true;
  }
  return false;
}

// The value of one component of `tcb` (an absent fmc as 0).
inline std::uint8_t component(const TcbVersion& tcb, Component c) {
  switch (c) {
    case Fmc: return tcb.fmc.value_or(0);
    case Bootloader: return tcb.bootloader;
    case Tee: return tcb.tee;
    case Snp: return tcb.snp;
    case Microcode: return tcb.microcode;
    case Reserved: break;
  }
  return 0;
}

// `tcb` holds the components of the 8 bytes at `field` in `layout`, with fmc
// exactly when the layout has one.
inline void check_tcb_read(const TcbVersion& tcb, const std::uint8_t* field, const TcbLayout& layout) {
  FUZZ_CHECK(tcb.fmc.has_value() == has_fmc(layout));
  for (std::size_t i = 0; i < layout.size(); ++i) {
    if (layout[i] != Reserved) FUZZ_CHECK(component(tcb, layout[i]) == field[i]);
  }
}

// The 8 bytes that writing `tcb` in `layout` gives: its components where the
// layout has them, zero everywhere else.
inline std::array<std::uint8_t, 8> tcb_written(const TcbVersion& tcb, const TcbLayout& layout) {
  std::array<std::uint8_t, 8> field{};
  for (std::size_t i = 0; i < layout.size(); ++i) field[i] = component(tcb, layout[i]);
  return field;
}

}  // namespace fuzz_model
