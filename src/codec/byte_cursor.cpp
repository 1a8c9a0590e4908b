#include "codec/byte_cursor.hpp"

#include <algorithm>

namespace quorvel {
namespace {

// Assembles a little-endian unsigned number from its bytes, least
// significant first, independent of the host's byte order.
template <typename T>
T load_le(const std::uint8_t* bytes) noexcept {
  T value = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | bytes[i]);
  return value;
}

}  // namespace

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
  if (std::any_of(bytes, bytes + n, [](std::uint8_t b) { return b != 0; })) return CodecError::not_zeroed();
  return Unit{};
}

}  // namespace quorvel
