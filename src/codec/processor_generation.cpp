#include "codec/processor_generation.hpp"

#include "codec/byte_cursor.hpp"

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

CodecResult<ProcessorGeneration> ProcessorGeneration::from_chip_id(std::span<const std::uint8_t, 64> chip_id) {
  if (all_zero(chip_id)) return CodecError::from_report(ReportError::MaskedChipId);
  // Turin chip identifiers are 8 bytes long; the rest of the field stays zero.
  if (all_zero(chip_id.subspan<8>())) return ProcessorGeneration(Turin);
  return ProcessorGeneration(Genoa);
}

CodecResult<ProcessorGeneration> ProcessorGeneration::for_report(std::uint32_t version,
                                                                 std::span<const std::uint8_t, 64> chip_id,
                                                                 std::uint8_t family, std::uint8_t model) {
  // Version 2 reports carry no CPUID bytes; from version 3 on the CPUID bytes
  // decide and the chip identifier takes no part (it may be masked).
  if (version == 2) return from_chip_id(chip_id);
  return from_cpuid(family, model);
}

}  // namespace quorvel
