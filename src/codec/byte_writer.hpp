#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quorvel {

// A write position over borrowed storage that starts out all zero, the
// encoder's counterpart of ByteCursor. Like a vector's size, length() counts every byte the writer was
// asked to write, also past the end of the storage; bytes that do not fit are
// counted but dropped. A caller therefore tests length() against the size it
// expects once, after the last write, instead of testing every write.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<std::uint8_t> out) noexcept : out_(out) {}

  std::size_t length() const noexcept { return length_; }

  // Writes `value` as sizeof(T) little-endian bytes and advances by as many.
  template <typename T>
  void put_le(T value) noexcept {
    std::uint8_t* at = claim(sizeof(T));
    if (at == nullptr) return;
    for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  // Writes the N bytes unchanged and advances by N.
  template <std::size_t N>
  void put_array(const std::array<std::uint8_t, N>& bytes) noexcept {
    std::uint8_t* at = claim(N);
    if (at != nullptr) std::memcpy(at, bytes.data(), N);
  }
  // Advances by n over bytes that stay zero: the storage starts out zero and
  // every position is written at most once.
  void put_zeros(std::size_t n) noexcept { claim(n); }

 private:
  // Where the next n bytes go, or null when they do not all fit; counts them
  // either way. The comparison is in subtraction form so that no sum overflows.
  std::uint8_t* claim(std::size_t n) noexcept {
    const std::size_t at = length_;
    length_ += n;
    return at > out_.size() || n > out_.size() - at ? nullptr : out_.data() + at;
  }

  std::span<std::uint8_t> out_;
  std::size_t length_ = 0;
};

}  // namespace quorvel
