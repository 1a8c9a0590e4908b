#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "codec/codec_error.hpp"

namespace quorvel {

// Assembles a little-endian unsigned number from its first sizeof(T) bytes,
// least significant first, independent of the host's byte order. On a
// little-endian host that is one load; the shifts, which are correct on any
// host, are not reliably merged into one by the compiler.
template <typename T>
T load_le(const std::uint8_t* bytes) noexcept {
  T value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, bytes, sizeof value);
  } else {
    for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | bytes[i]);
  }
  return value;
}

// Whether every byte is zero. Reserved runs are up to 168 bytes long, so they
// are tested eight bytes at a time: which byte is set never matters.
inline bool all_zero(std::span<const std::uint8_t> bytes) noexcept {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; bytes.size() - i >= sizeof(std::uint64_t); i += sizeof(std::uint64_t)) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    any |= word;
  }
  for (; i < bytes.size(); ++i) any |= bytes[i];
  return any == 0;
}

// A read position over borrowed bytes. The position only grows and never
// passes the end: every operation either succeeds and advances by exactly its
// size, or fails and leaves the position at the end of the data (a failed
// skip over non-zero bytes is the one exception: it has already advanced).
class ByteCursor {
 public:
  explicit ByteCursor(std::span<const std::uint8_t> data) noexcept : data_(data) {}

  std::uint64_t position() const noexcept { return position_; }
  std::uint64_t length() const noexcept { return data_.size(); }
  std::uint64_t remaining() const noexcept {
    return data_.size() - (position_ < data_.size() ? position_ : data_.size());
  }

  // Returns the next byte and advances by 1, if a byte is left. Otherwise
  // returns the end-of-input error and moves to the end.
  CodecResult<std::uint8_t> read_u8() noexcept { return read_le<std::uint8_t>(); }
  // Returns the next 4 bytes as a little-endian number and advances by 4, if
  // there are 4 left. Otherwise returns the end-of-input error and moves to the end.
  CodecResult<std::uint32_t> read_u32() noexcept { return read_le<std::uint32_t>(); }
  // Returns the next 8 bytes as a little-endian number and advances by 8, if
  // there are 8 left. Otherwise returns the end-of-input error and moves to the end.
  CodecResult<std::uint64_t> read_u64() noexcept { return read_le<std::uint64_t>(); }

  // Returns a copy of the next N bytes and advances by N, if there are N left.
  // Otherwise returns the end-of-input error and moves to the end. Groups of
  // single bytes that belong together are read this way, so that a group is
  // either read whole or not at all.
  template <std::size_t N>
  CodecResult<std::array<std::uint8_t, N>> read_array() noexcept {
    const std::uint8_t* bytes = take(N);
    if (bytes == nullptr) return CodecError::end_of_input();
    std::array<std::uint8_t, N> out;
    std::memcpy(out.data(), bytes, N);
    return out;
  }

  // Passes over n bytes that must all be zero. With fewer than n bytes left,
  // returns the end-of-input error and moves to the end, whatever the bytes
  // hold. Otherwise advances by n and then returns the zero-skip error if any
  // of those bytes is non-zero; the position stays past the run.
  CodecResult<Unit> skip_zeroed(std::size_t n) {
    if (n > remaining()) {
      position_ = data_.size();
      return CodecError::end_of_input();
    }
    if (!skip_zeroed_unchecked(n)) return CodecError::not_zeroed();
    return Unit{};
  }

  // Unchecked counterparts of the reads above, for a caller that has already
  // established that the bytes are there, as the report decoder does by
  // testing the length of the whole report once. Each returns the next bytes
  // and advances past them. Reading past the end breaks that precondition:
  // debug builds assert it, and the position and the bytes read are then
  // meaningless.
  template <typename T>
  T read_le_unchecked() noexcept {
    return load_le<T>(take_unchecked(sizeof(T)));
  }
  template <std::size_t N>
  void read_array_unchecked(std::array<std::uint8_t, N>& out) noexcept {
    std::memcpy(out.data(), take_unchecked(N), N);
  }
  // Passes over n bytes and says whether they were all zero.
  bool skip_zeroed_unchecked(std::size_t n) noexcept { return all_zero({take_unchecked(n), n}); }

 private:
  template <typename T>
  CodecResult<T> read_le() noexcept {
    const std::uint8_t* bytes = take(sizeof(T));
    if (bytes == nullptr) return CodecError::end_of_input();
    return load_le<T>(bytes);
  }

  // Returns the next n bytes and advances past them, or returns null and
  // moves to the end when fewer than n are left. The comparison is in
  // subtraction form so that no sum can overflow.
  const std::uint8_t* take(std::size_t n) noexcept {
    if (n > remaining()) {
      position_ = data_.size();
      return nullptr;
    }
    const std::uint8_t* bytes = data_.data() + position_;
    position_ += n;
    return bytes;
  }

  const std::uint8_t* take_unchecked(std::size_t n) noexcept {
    assert(n <= remaining());
    const std::uint8_t* bytes = data_.data() + position_;
    position_ += n;
    return bytes;
  }

  std::span<const std::uint8_t> data_;
  std::uint64_t position_ = 0;
};

}  // namespace quorvel
