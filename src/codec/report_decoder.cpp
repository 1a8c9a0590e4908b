#include <type_traits>

#include "codec/report_layout.hpp"

namespace quorvel {
namespace {

// The decoder's pass over the layout. Past the length test no read can run
// out of bytes, so fields are read unchecked; only reserved runs can fail.
class ReportReader {
 public:
  ReportReader(ByteCursor cursor, TcbLayout tcb_layout) noexcept : cursor_(cursor), tcb_(tcb_positions(tcb_layout)) {}

  template <std::size_t Offset, std::size_t Size, typename T>
  void field(layout::Run<Offset, Size>, T& value) noexcept {
    static_assert(layout::kStoredSize<T> == Size);
    assert(cursor_.position() == Offset);
    if constexpr (layout::kIsOptional<T>) {
      value = cursor_.read_le_unchecked<typename T::value_type>();
    } else if constexpr (std::is_integral_v<T>) {
      value = cursor_.read_le_unchecked<T>();
    } else if constexpr (std::is_same_v<T, TcbVersion>) {
      std::array<std::uint8_t, Size> bytes;
      cursor_.read_array_unchecked(bytes);
      value = TcbVersion::from_field(bytes, tcb_);
    } else if constexpr (std::is_same_v<T, FirmwareVersion>) {
      std::array<std::uint8_t, Size> bytes;
      cursor_.read_array_unchecked(bytes);
      value = FirmwareVersion{.major = bytes[2], .minor = bytes[1], .build = bytes[0]};
    } else {
      cursor_.read_array_unchecked(value);
    }
  }

  template <std::size_t Offset, std::size_t Size>
  CodecResult<Unit> reserved(layout::Run<Offset, Size>) {
    assert(cursor_.position() == Offset);
    if (cursor_.skip_zeroed_unchecked(Size)) return Unit{};
    return CodecError::not_zeroed();
  }

 private:
  ByteCursor cursor_;
  TcbPositions tcb_;  // where the TCB components sit in each TCB field
};

// The body of from_bytes: decodes `bytes` into `report`, a default record.
CodecResult<Unit> decode(std::span<const std::uint8_t> bytes, AttestationReport& report) {
  if (bytes.size() != kReportSize) return layout::wrong_size("", bytes.size());

  ByteCursor cursor(bytes);
  const auto version = cursor.read_le_unchecked<std::uint32_t>();
  if (version < layout::kOldestSupportedVersion) return CodecError::from_kind(ErrorKind::Unsupported);
  report.version = version;

  // The generation is decided from the raw bytes before any other field is
  // looked at, so that its failures take precedence over every later one.
  QUORVEL_TRY_ASSIGN(generation, ProcessorGeneration::for_report(version, bytes.subspan<layout::kChipId.offset, 64>(),
                                                                 bytes[layout::kCpuidFamily.offset],
                                                                 bytes[layout::kCpuidModel.offset]));
  // The pass stops at the end of the signature: the bytes after it are
  // neither read nor kept.
  ReportReader reader(cursor, layout::tcb_layout_of(generation));
  return layout::transfer_fields(reader, report);
}

}  // namespace

CodecResult<AttestationReport> AttestationReport::from_bytes(std::span<const std::uint8_t> bytes) {
  // Every return below returns `result`, so that the record is decoded in
  // the caller's place: returning a local record would copy it twice (into
  // the result's argument, then into the result).
  CodecResult<AttestationReport> result{AttestationReport{}};
  if (auto decoded = decode(bytes, result.value()); !decoded.ok()) result = std::move(decoded).error();
  return result;
}

}  // namespace quorvel
