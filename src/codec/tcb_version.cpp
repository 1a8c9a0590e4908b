#include "codec/tcb_version.hpp"

#include <array>

namespace quorvel {

CodecResult<TcbVersion> TcbVersion::from_bytes(ByteCursor& cursor, ProcessorGeneration generation) {
  // The generation is tested before the length, so an unknown generation
  // never moves the cursor.
  if (!generation.is_known()) {
    return CodecError::with_text(ErrorKind::Unsupported, "Unsupported Processor Generation for TCB parsing");
  }
  QUORVEL_TRY_ASSIGN(bytes, cursor.read_array<kSize>());
  return decode_layout(bytes.data(), generation == ProcessorGeneration::Turin);
}

CodecResult<Unit> TcbVersion::write_bytes(std::vector<std::uint8_t>& out, ProcessorGeneration generation) const {
  if (!generation.is_known()) {
    return CodecError::with_text(ErrorKind::Unsupported, "Unsupported Processor Generation for TCB writing");
  }
  const auto bytes = encode_layout(generation == ProcessorGeneration::Turin);
  out.insert(out.end(), bytes.begin(), bytes.end());
  return Unit{};
}

}  // namespace quorvel
