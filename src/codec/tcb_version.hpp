#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "codec/byte_cursor.hpp"
#include "codec/byte_writer.hpp"
#include "codec/processor_generation.hpp"

namespace quorvel {

// One TCB version: the security version numbers of the firmware components.
// Its 8-byte encoding depends on the processor generation, through the
// generation's TcbLayout (see tcb_positions). Reserved bytes are ignored on
// reading and written as zero.
struct TcbVersion {
  static constexpr std::size_t kSize = 8;

  std::optional<std::uint8_t> fmc;  // present exactly when read in a layout that has one
  std::uint8_t bootloader = 0;
  std::uint8_t tee = 0;
  std::uint8_t snp = 0;
  std::uint8_t microcode = 0;

  // Reads 8 bytes under `generation`. A generation without a TCB layout fails
  // without moving the cursor; fewer than 8 bytes left fails with the
  // end-of-input error and leaves the cursor at the end.
  static CodecResult<TcbVersion> from_bytes(ByteCursor& cursor, ProcessorGeneration generation);

  // Writes exactly 8 bytes under `generation`, or nothing when the generation
  // has no TCB layout. A layout without fmc drops it; one with fmc writes an
  // absent fmc as 0.
  CodecResult<Unit> write_bytes(ByteWriter& out, ProcessorGeneration generation) const;

  // The two directions under the positions of a layout, which cannot fail: a
  // report's codec derives them once and reads or writes its four fields
  // with them. A field is read from its bytes, and written as one
  // little-endian number (byte i is bits 8i to 8i + 7) assembled in a
  // register: filling a byte array one byte at a time and copying it out
  // whole would read back narrow stores with a wide load, which stalls.
  static TcbVersion from_field(const std::array<std::uint8_t, kSize>& field, const TcbPositions& at) noexcept {
    TcbVersion tcb;
    if (at.fmc) tcb.fmc = field[*at.fmc];
    tcb.bootloader = field[at.bootloader];
    tcb.tee = field[at.tee];
    tcb.snp = field[at.snp];
    tcb.microcode = field[at.microcode];
    return tcb;
  }
  std::uint64_t to_le64(const TcbPositions& at) const noexcept {
    const auto place = [](std::uint8_t value, std::uint8_t i) { return std::uint64_t{value} << (8 * i); };
    std::uint64_t field =
        place(bootloader, at.bootloader) | place(tee, at.tee) | place(snp, at.snp) | place(microcode, at.microcode);
    if (at.fmc) field |= place(fmc.value_or(0), *at.fmc);
    return field;
  }

  friend bool operator==(const TcbVersion&, const TcbVersion&) = default;
};

}  // namespace quorvel
