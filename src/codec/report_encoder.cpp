#include <type_traits>

#include "codec/report_layout.hpp"

namespace quorvel {
namespace {

// The encoder's pass over the layout: writes each run in place. No step can
// fail; the writer counts what it writes, and to_bytes checks the total.
class ReportWriter {
 public:
  ReportWriter(ByteWriter& out, TcbLayout tcb_layout) noexcept : out_(out), tcb_(tcb_positions(tcb_layout)) {}

  template <std::size_t Offset, std::size_t Size, typename T>
  void field(layout::Run<Offset, Size>, const T& value) noexcept {
    static_assert(layout::kStoredSize<T> == Size);
    assert(out_.length() == Offset);
    if constexpr (std::is_same_v<T, TcbVersion>) {
      out_.put_le(value.to_le64(tcb_));
    } else if constexpr (std::is_same_v<T, FirmwareVersion>) {
      out_.put_array(std::array<std::uint8_t, Size>{value.build, value.minor, value.major});
    } else if constexpr (layout::kIsOptional<T>) {
      // Present exactly from its version on, which the layout has already
      // tested; written as 0 when absent all the same.
      out_.put_le(value.value_or(0));
    } else if constexpr (std::is_integral_v<T>) {
      out_.put_le(value);
    } else {
      out_.put_array(value);
    }
  }

  template <std::size_t Offset, std::size_t Size>
  void reserved(layout::Run<Offset, Size>) noexcept {
    assert(out_.length() == Offset);
    out_.put_zeros(Size);
  }

 private:
  ByteWriter& out_;
  TcbPositions tcb_;  // where the TCB components sit in each TCB field
};

}  // namespace

CodecResult<EncodedReport> AttestationReport::to_bytes() const {
  // Every return below returns `result`, so that the encoding is written in
  // the caller's place instead of being copied there.
  CodecResult<EncodedReport> result{EncodedReport{}};
  auto derived = generation();
  if (!derived.ok()) {
    result = std::move(derived).error();
    return result;
  }
  ByteWriter out(result.value());
  out.put_le(version);
  ReportWriter writer(out, layout::tcb_layout_of(derived.value()));
  [[maybe_unused]] const auto written = layout::transfer_fields(writer, *this);
  assert(written.ok());
  out.put_zeros(layout::kTail.size);
  if (out.length() != kReportSize) result = layout::wrong_size("encoded size mismatch: ", out.length());
  return result;
}

}  // namespace quorvel
