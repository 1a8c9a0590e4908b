#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "codec/byte_cursor.hpp"
#include "codec/processor_generation.hpp"

namespace quorvel {

// One TCB version: the security version numbers of the firmware components.
// Its 8-byte encoding depends on the processor generation:
//
//   byte   Milan/Genoa   Turin
//   0      bootloader    fmc
//   1      tee           bootloader
//   2      reserved      tee
//   3      reserved      snp
//   4-5    reserved      reserved
//   6      snp           reserved
//   7      microcode     microcode
//
// Reserved bytes are ignored on reading and written as zero.
struct TcbVersion {
  static constexpr std::size_t kSize = 8;

  std::optional<std::uint8_t> fmc;  // present exactly when read under Turin
  std::uint8_t bootloader = 0;
  std::uint8_t tee = 0;
  std::uint8_t snp = 0;
  std::uint8_t microcode = 0;

  // The two layouts on their own, for callers that have already checked the
  // generation and the length: reads or makes one 8-byte field.
  static TcbVersion decode_layout(const std::uint8_t* field, bool turin_layout) noexcept {
    TcbVersion tcb;
    if (turin_layout) {
      tcb.fmc = field[0];
      tcb.bootloader = field[1];
      tcb.tee = field[2];
      tcb.snp = field[3];
    } else {
      tcb.bootloader = field[0];
      tcb.tee = field[1];
      tcb.snp = field[6];
    }
    tcb.microcode = field[7];
    return tcb;
  }
  std::array<std::uint8_t, kSize> encode_layout(bool turin_layout) const noexcept {
    if (turin_layout) return {fmc.value_or(0), bootloader, tee, snp, 0, 0, 0, microcode};
    return {bootloader, tee, 0, 0, 0, 0, snp, microcode};
  }

  // Reads 8 bytes under `generation`. An unknown generation fails without
  // moving the cursor; fewer than 8 bytes left fails with the end-of-input
  // error and leaves the cursor at the end.
  static CodecResult<TcbVersion> from_bytes(ByteCursor& cursor, ProcessorGeneration generation);

  // Appends exactly 8 bytes under `generation`, or nothing when the
  // generation is unknown. Under Milan/Genoa the fmc is dropped; under Turin
  // an absent fmc is written as 0.
  CodecResult<Unit> write_bytes(std::vector<std::uint8_t>& out, ProcessorGeneration generation) const;

  friend bool operator==(const TcbVersion&, const TcbVersion&) = default;
};

}  // namespace quorvel
