// Fuzz target: ByteCursor reads and skips, and TcbVersion reading and
// writing, driven by a script taken from the input.
//
// Input: one byte L, then L bytes of data for the cursor (fewer when the
// input ends), then the script: one opcode byte per operation, some followed
// by argument bytes. A model position is kept beside the cursor; after every
// operation the cursor must agree with it: a success advances by exactly the
// operation's size and returns the bytes it passed over, an end-of-input
// failure moves to the end, a zero-skip failure has advanced past its run, an
// unknown generation does not move at all. The position never shrinks and
// never passes the length. The script ends early once four operations in a
// row have started at the end, where the cursor's state can no longer change.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "codec/byte_cursor.hpp"
#include "codec/byte_writer.hpp"
#include "codec/tcb_version.hpp"
#include "fuzz_model.hpp"

namespace {

using quorvel::ByteCursor;
using quorvel::CodecError;
using quorvel::ErrorKind;
using quorvel::ProcessorGeneration;
using quorvel::TcbVersion;
using Bytes = std::span<const std::uint8_t>;

// The errors an operation can fail with. Failures are compared with these as
// values, which allocates nothing; the renderings of these values are checked
// once, in LLVMFuzzerInitialize. Once the cursor is at the end, every further
// read of a script fails, so a rendering per failure would dominate the run.
const CodecError kEndOfInput = CodecError::end_of_input();
const CodecError kNotZeroed = CodecError::not_zeroed();
const CodecError kUnknownForParsing =
    CodecError::with_text(ErrorKind::Unsupported, "Unsupported Processor Generation for TCB parsing");
const CodecError kUnknownForWriting =
    CodecError::with_text(ErrorKind::Unsupported, "Unsupported Processor Generation for TCB writing");

// Run lengths for skips: small ones from the script, and ones whose sum with
// any position would overflow.
constexpr std::array<std::size_t, 6> kHugeRuns = {
    std::numeric_limits<std::size_t>::max(),
    std::numeric_limits<std::size_t>::max() - 1,
    std::numeric_limits<std::size_t>::max() / 2,
    std::size_t{1} << 63,
    std::size_t{1} << 32,
    (std::size_t{1} << 32) + 1,
};

class Script {
 public:
  explicit Script(Bytes bytes) : bytes_(bytes) {}
  bool done() const { return next_ >= bytes_.size(); }
  std::optional<std::uint8_t> take() {
    if (done()) return std::nullopt;
    return bytes_[next_++];
  }

 private:
  Bytes bytes_;
  std::size_t next_ = 0;
};

class Driver {
 public:
  explicit Driver(Bytes data) : data_(data), cursor_(data) {}

  // Once at the end, the cursor's state cannot change any more: a few
  // operations there show that it stays, and the rest of a long script would
  // only repeat them.
  bool settled_at_end() const { return operations_at_end_ >= 4; }

  // Runs one operation of the script; false when the script is used up.
  bool step(Script& script) {
    const auto opcode = script.take();
    if (!opcode) return false;
    const std::uint64_t before = cursor_.position();
    FUZZ_CHECK(before == position_);
    // Writing a TCB field (opcode 11) does not use the cursor.
    operations_at_end_ = before == data_.size() && *opcode % 12 != 11 ? operations_at_end_ + 1 : 0;
    switch (*opcode % 12) {
      case 0: check_read(cursor_.read_u8()); break;
      case 1: check_read(cursor_.read_u32()); break;
      case 2: check_read(cursor_.read_u64()); break;
      case 3: check_read(cursor_.read_array<3>()); break;
      case 4: check_read(cursor_.read_array<8>()); break;
      case 5: check_read(cursor_.read_array<16>()); break;
      case 6: check_read(cursor_.read_array<64>()); break;
      case 7: check_read(cursor_.read_array<72>()); break;
      case 8: {
        const auto n = script.take();
        if (!n) return false;
        check_skip(*n);
        break;
      }
      case 9: {
        const auto which = script.take();
        if (!which) return false;
        check_skip(kHugeRuns[*which % kHugeRuns.size()]);
        break;
      }
      case 10: {
        const auto generation = script.take();
        if (!generation) return false;
        check_tcb_read(*generation);
        break;
      }
      default: {
        std::array<std::uint8_t, 7> args{};
        for (auto& arg : args) {
          const auto byte = script.take();
          if (!byte) return false;
          arg = *byte;
        }
        check_tcb_write(args);
      }
    }
    FUZZ_CHECK(cursor_.position() == position_);
    FUZZ_CHECK(cursor_.position() >= before);
    FUZZ_CHECK(cursor_.position() <= cursor_.length());
    FUZZ_CHECK(cursor_.length() == data_.size());
    FUZZ_CHECK(cursor_.remaining() == cursor_.length() - cursor_.position());
    return true;
  }

 private:
  std::uint64_t available() const { return data_.size() - position_; }

  std::uint64_t load_le(std::size_t offset, std::size_t size) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{data_[offset + i]} << (8 * i);
    return value;
  }

  // Whether a read of n bytes must fail; if so the model moves to the end.
  bool expect_end_of_input(std::uint64_t n) {
    if (n <= available()) return false;
    position_ = data_.size();
    return true;
  }

  static void check_end_of_input(const CodecError& error) { FUZZ_CHECK(error == kEndOfInput); }

  // A read of a T: a little-endian number, or an array of bytes copied out.
  template <typename T>
  void check_read(const quorvel::CodecResult<T>& result) {
    constexpr std::size_t n = sizeof(T);  // an array of N bytes is N bytes long
    const std::size_t at = position_;
    if (expect_end_of_input(n)) {
      FUZZ_CHECK(!result.ok());
      check_end_of_input(result.error());
      return;
    }
    FUZZ_CHECK(result.ok());
    if constexpr (std::is_integral_v<T>) {
      FUZZ_CHECK(result.value() == load_le(at, n));
    } else {
      FUZZ_CHECK(std::equal(result.value().begin(), result.value().end(), data_.begin() + at));
    }
    position_ += n;
  }

  void check_skip(std::size_t n) {
    const std::size_t at = position_;
    const auto result = cursor_.skip_zeroed(n);
    if (expect_end_of_input(n)) {
      FUZZ_CHECK(!result.ok());
      check_end_of_input(result.error());
      return;
    }
    // The run is passed over whether or not it is zero.
    position_ += n;
    bool zero = true;
    for (std::size_t i = at; i < at + n; ++i) zero = zero && data_[i] == 0;
    if (zero) {
      FUZZ_CHECK(result.ok());
      return;
    }
    FUZZ_CHECK(!result.ok() && result.error() == kNotZeroed);
  }

  void check_tcb_read(std::uint8_t generation) {
    const std::size_t at = position_;
    const auto result = TcbVersion::from_bytes(cursor_, static_cast<ProcessorGeneration::Value>(generation));
    // The generation is tested before the length: one without a layout never moves.
    const auto layout = fuzz_model::tcb_layout_of(generation);
    if (!layout) {
      FUZZ_CHECK(!result.ok() && result.error() == kUnknownForParsing);
      return;
    }
    if (expect_end_of_input(TcbVersion::kSize)) {
      FUZZ_CHECK(!result.ok());
      check_end_of_input(result.error());
      return;
    }
    FUZZ_CHECK(result.ok());
    fuzz_model::check_tcb_read(result.value(), data_.data() + at, *layout);
    position_ += TcbVersion::kSize;
  }

  // args: generation, flags (bit 0: fmc present), fmc, bootloader, tee, snp, microcode.
  static void check_tcb_write(const std::array<std::uint8_t, 7>& args) {
    const std::uint8_t generation = args[0];
    TcbVersion tcb;
    if (args[1] & 1) tcb.fmc = args[2];
    tcb.bootloader = args[3];
    tcb.tee = args[4];
    tcb.snp = args[5];
    tcb.microcode = args[6];

    std::array<std::uint8_t, TcbVersion::kSize> written{};
    quorvel::ByteWriter out(written);
    const auto result = tcb.write_bytes(out, static_cast<ProcessorGeneration::Value>(generation));
    const auto layout = fuzz_model::tcb_layout_of(generation);
    if (!layout) {
      FUZZ_CHECK(!result.ok() && result.error() == kUnknownForWriting);
      FUZZ_CHECK(out.length() == 0);
      return;
    }
    FUZZ_CHECK(result.ok() && out.length() == TcbVersion::kSize);
    FUZZ_CHECK(written == fuzz_model::tcb_written(tcb, *layout));

    // Reading the written field back under the same generation gives the
    // value, with fmc exactly when the layout has room for it.
    ByteCursor back(written);
    const auto reread = TcbVersion::from_bytes(back, static_cast<ProcessorGeneration::Value>(generation));
    FUZZ_CHECK(reread.ok());
    fuzz_model::check_tcb_read(reread.value(), written.data(), *layout);
    FUZZ_CHECK(back.position() == TcbVersion::kSize && back.remaining() == 0);
  }

  Bytes data_;
  ByteCursor cursor_;
  std::uint64_t position_ = 0;
  int operations_at_end_ = 0;  // consecutive cursor operations started at the end
};

}  // namespace

// The renderings of the errors the operations are compared with.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FUZZ_CHECK(kEndOfInput.kind() == ErrorKind::UnexpectedEof &&
             kEndOfInput.debug_rendering() ==
                 "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }");
  FUZZ_CHECK(kNotZeroed.debug_rendering() ==
             "Custom { kind: InvalidData, error: \"Skipped bytes were expected to be zeroed.\" }");
  FUZZ_CHECK(kUnknownForParsing.debug_rendering() ==
             "Custom { kind: Unsupported, error: \"Unsupported Processor Generation for TCB parsing\" }");
  FUZZ_CHECK(kUnknownForWriting.debug_rendering() ==
             "Custom { kind: Unsupported, error: \"Unsupported Processor Generation for TCB writing\" }");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t length = std::min<std::size_t>(data[0], size - 1);
  Driver driver(Bytes(data + 1, length));
  Script script(Bytes(data + 1 + length, size - 1 - length));
  while (!driver.settled_at_end() && driver.step(script)) {
  }
  return 0;
}
