#include "codec/tcb_version.hpp"

namespace quorvel {

CodecResult<TcbVersion> TcbVersion::from_bytes(ByteCursor& cursor, ProcessorGeneration generation) {
  // The generation is tested before the length, so that a generation without
  // a layout never moves the cursor.
  const std::optional<TcbLayout> layout = tcb_layout(generation);
  if (!layout) return CodecError::with_text(ErrorKind::Unsupported, "Unsupported Processor Generation for TCB parsing");
  QUORVEL_TRY_ASSIGN(field, cursor.read_array<kSize>());
  return from_field(field, tcb_positions(*layout));
}

CodecResult<Unit> TcbVersion::write_bytes(ByteWriter& out, ProcessorGeneration generation) const {
  const std::optional<TcbLayout> layout = tcb_layout(generation);
  if (!layout) return CodecError::with_text(ErrorKind::Unsupported, "Unsupported Processor Generation for TCB writing");
  out.put_le(to_le64(tcb_positions(*layout)));
  return Unit{};
}

}  // namespace quorvel
