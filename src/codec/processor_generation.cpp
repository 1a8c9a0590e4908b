#include "codec/processor_generation.hpp"

#include <algorithm>

namespace quorvel {
namespace {

constexpr std::uint8_t kFamilyZen3Zen4 = 0x19;  // Milan and Genoa
constexpr std::uint8_t kFamilyZen5 = 0x1A;      // Turin

CodecError unknown_model() {
  return CodecError::with_text(ErrorKind::InvalidData, "processor is not of know SEV-SNP model.");
}

CodecError unknown_generation() {
  return CodecError::with_text(ErrorKind::InvalidData, "processor is not of know SEV-SNP generation.");
}

bool all_zero(const std::uint8_t* begin, const std::uint8_t* end) {
  return std::all_of(begin, end, [](std::uint8_t b) { return b == 0; });
}

}  // namespace

CodecResult<ProcessorGeneration> ProcessorGeneration::from_cpuid(std::uint8_t family, std::uint8_t model) {
  if (family == kFamilyZen3Zen4) {
    if (model < 0x10) return ProcessorGeneration(Milan);
    if (model < 0x20 || (model >> 4) == 0xA) return ProcessorGeneration(Genoa);
    return unknown_model();
  }
  if (family == kFamilyZen5) {
    if (model < 0x12) return ProcessorGeneration(Turin);
    return unknown_model();
  }
  return unknown_generation();
}

CodecResult<ProcessorGeneration> ProcessorGeneration::from_chip_id(const std::array<std::uint8_t, 64>& chip_id) {
  if (all_zero(chip_id.begin(), chip_id.end())) return CodecError::from_report(ReportError::MaskedChipId);
  // Turin chip identifiers are 8 bytes long; the rest of the field stays zero.
  if (all_zero(chip_id.begin() + 8, chip_id.end())) return ProcessorGeneration(Turin);
  return ProcessorGeneration(Genoa);
}

CodecResult<ProcessorGeneration> ProcessorGeneration::for_report(std::uint32_t version,
                                                                 const std::array<std::uint8_t, 64>& chip_id,
                                                                 std::uint8_t family, std::uint8_t model) {
  // Version 2 reports carry no CPUID bytes; from version 3 on the CPUID bytes
  // decide and the chip identifier takes no part (it may be masked).
  if (version == 2) return from_chip_id(chip_id);
  return from_cpuid(family, model);
}

std::string_view generation_name(ProcessorGeneration generation) noexcept {
  switch (generation.value()) {
    case ProcessorGeneration::Milan: return "Milan";
    case ProcessorGeneration::Genoa: return "Genoa";
    case ProcessorGeneration::Turin: return "Turin";
  }
  return "Unknown";
}

}  // namespace quorvel
