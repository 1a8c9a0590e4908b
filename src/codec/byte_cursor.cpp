#include "codec/byte_cursor.hpp"

namespace quorvel {

CodecResult<std::uint8_t> ByteCursor::read_u8() noexcept {
  const std::uint8_t* bytes = take(1);
  if (bytes == nullptr) return CodecError::end_of_input();
  return *bytes;
}

CodecResult<std::uint32_t> ByteCursor::read_u32() noexcept {
  const std::uint8_t* bytes = take(4);
  if (bytes == nullptr) return CodecError::end_of_input();
  return load_le<std::uint32_t>(bytes);
}

CodecResult<std::uint64_t> ByteCursor::read_u64() noexcept {
  const std::uint8_t* bytes = take(8);
  if (bytes == nullptr) return CodecError::end_of_input();
  return load_le<std::uint64_t>(bytes);
}

CodecResult<Unit> ByteCursor::skip_zeroed(std::size_t n) {
  const std::uint8_t* bytes = take(n);
  if (bytes == nullptr) return CodecError::end_of_input();
  if (!all_zero({bytes, n})) return CodecError::not_zeroed();
  return Unit{};
}

}  // namespace quorvel
