#include "codec/tcb_version.hpp"

#include <array>

namespace quorvel {

CodecResult<TcbVersion> TcbVersion::from_bytes(ByteCursor& cursor, ProcessorGeneration generation) {
  const auto value = generation.value();
  // The generation is tested before the length, so an unknown generation
  // never moves the cursor.
  if (value != ProcessorGeneration::Milan && value != ProcessorGeneration::Genoa &&
      value != ProcessorGeneration::Turin) {
    return CodecError::with_text(ErrorKind::Unsupported, "Unsupported Processor Generation for TCB parsing");
  }
  QUORVEL_TRY_ASSIGN(bytes, cursor.read_array<kSize>());
  TcbVersion tcb;
  if (value == ProcessorGeneration::Turin) {
    tcb.fmc = bytes[0];
    tcb.bootloader = bytes[1];
    tcb.tee = bytes[2];
    tcb.snp = bytes[3];
  } else {
    tcb.bootloader = bytes[0];
    tcb.tee = bytes[1];
    tcb.snp = bytes[6];
  }
  tcb.microcode = bytes[7];
  return tcb;
}

CodecResult<Unit> TcbVersion::write_bytes(std::vector<std::uint8_t>& out, ProcessorGeneration generation) const {
  std::array<std::uint8_t, kSize> bytes{};
  switch (generation.value()) {
    case ProcessorGeneration::Milan:
    case ProcessorGeneration::Genoa: bytes = {bootloader, tee, 0, 0, 0, 0, snp, microcode}; break;
    case ProcessorGeneration::Turin: bytes = {fmc.value_or(0), bootloader, tee, snp, 0, 0, 0, microcode}; break;
    default: return CodecError::with_text(ErrorKind::Unsupported, "Unsupported Processor Generation for TCB writing");
  }
  out.insert(out.end(), bytes.begin(), bytes.end());
  return Unit{};
}

}  // namespace quorvel
