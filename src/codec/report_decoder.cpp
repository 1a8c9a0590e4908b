#include <array>
#include <cstring>
#include <string>

#include "codec/attestation_report.hpp"

namespace quorvel {
namespace {

constexpr std::size_t kCurrentTcbOffset = 0x038;

// Reserved runs of the layout, by size.
constexpr std::size_t kReservedAfterKeyInfo = 4;       // 0x04C
constexpr std::size_t kReservedAfterCpuid = 21;        // 0x18B, versions 3 and later
constexpr std::size_t kReservedCpuidArea = 24;         // 0x188, version 2
constexpr std::size_t kReservedAfterFirmware = 1;      // 0x1EB and 0x1EF
constexpr std::size_t kReservedAfterMitVectors = 152;  // 0x208, versions 5 and later
constexpr std::size_t kReservedMitVectorArea = 168;    // 0x1F8, versions 2 to 4

CodecError wrong_length(std::size_t actual) {
  std::string text = "expected ";
  text += std::to_string(kReportSize);
  text += " bytes, got ";
  text += std::to_string(actual);
  return CodecError::with_text(ErrorKind::InvalidData, text);
}

// The sequential pass over a report whose length has been checked to be
// exactly kReportSize. With the length fixed no read can run past the end,
// so the fields are copied straight into the record: taking each through the
// cursor's error-carrying result cost several times the decoding itself.
// Only the reserved runs can fail.
class FieldReader {
 public:
  explicit FieldReader(const std::uint8_t* report) noexcept : report_(report) {}

  std::uint8_t u8() noexcept { return report_[advance(1)]; }
  std::uint32_t u32() noexcept { return load_le<std::uint32_t>(report_ + advance(4)); }
  std::uint64_t u64() noexcept { return load_le<std::uint64_t>(report_ + advance(8)); }
  template <std::size_t N>
  void copy_to(std::array<std::uint8_t, N>& out) noexcept {
    std::memcpy(out.data(), report_ + advance(N), N);
  }
  // Passes over a reserved run; false when any of its bytes is non-zero.
  bool skip_zeroed(std::size_t n) noexcept { return all_zero({report_ + advance(n), n}); }
  TcbVersion tcb(bool turin) noexcept { return TcbVersion::decode_layout(report_ + advance(TcbVersion::kSize), turin); }
  FirmwareVersion firmware() noexcept {
    const std::uint8_t* field = report_ + advance(3);
    return FirmwareVersion{.major = field[2], .minor = field[1], .build = field[0]};
  }

 private:
  // Returns the current offset and moves past the next n bytes.
  std::size_t advance(std::size_t n) noexcept {
    const std::size_t at = offset_;
    offset_ += n;
    return at;
  }

  const std::uint8_t* report_;
  std::size_t offset_ = 0;
};

// The body of from_bytes: decodes `bytes` into `report`, a default record.
CodecResult<Unit> decode(std::span<const std::uint8_t> bytes, AttestationReport& report) {
  if (bytes.size() != kReportSize) return wrong_length(bytes.size());

  FieldReader in(bytes.data());
  report.version = in.u32();
  if (report.version < kOldestSupportedVersion) return CodecError::from_kind(ErrorKind::Unsupported);
  const bool has_cpuid = report.version >= kFirstCpuidVersion;
  const bool has_mit_vectors = report.version >= kFirstMitVectorVersion;

  // The generation is decided from the raw bytes before any other field is
  // looked at, so that its failures take precedence over every later one.
  std::array<std::uint8_t, 64> raw_chip_id;
  std::memcpy(raw_chip_id.data(), bytes.data() + kChipIdOffset, raw_chip_id.size());
  QUORVEL_TRY_ASSIGN(generation, ProcessorGeneration::for_report(report.version, raw_chip_id, bytes[kCpuidFamilyOffset],
                                                                 bytes[kCpuidModelOffset]));
  // The TCB fields are read below rather than by TcbVersion::from_bytes,
  // whose cursor and result cost a call and more for each of the four; the
  // layouts are the same. A generation outside the three members fails with
  // from_bytes's own error, here: the fields before the first TCB field
  // cannot fail, so failing here is failing there.
  if (!generation.is_known()) {
    ByteCursor current_tcb(bytes.subspan(kCurrentTcbOffset, TcbVersion::kSize));
    QUORVEL_TRY(TcbVersion::from_bytes(current_tcb, generation));
  }
  const bool turin = generation == ProcessorGeneration::Turin;

  report.guest_svn = in.u32();
  report.policy = in.u64();
  in.copy_to(report.family_id);
  in.copy_to(report.image_id);
  report.vmpl = in.u32();
  report.sig_algo = in.u32();
  report.current_tcb = in.tcb(turin);
  report.plat_info = in.u64();
  report.key_info = in.u32();
  if (!in.skip_zeroed(kReservedAfterKeyInfo)) return CodecError::not_zeroed();
  in.copy_to(report.report_data);
  in.copy_to(report.measurement);
  in.copy_to(report.host_data);
  in.copy_to(report.id_key_digest);
  in.copy_to(report.author_key_digest);
  in.copy_to(report.report_id);
  in.copy_to(report.report_id_ma);
  report.reported_tcb = in.tcb(turin);
  if (has_cpuid) {
    report.cpuid_fam_id = in.u8();
    report.cpuid_mod_id = in.u8();
    report.cpuid_step = in.u8();
    if (!in.skip_zeroed(kReservedAfterCpuid)) return CodecError::not_zeroed();
  } else {
    if (!in.skip_zeroed(kReservedCpuidArea)) return CodecError::not_zeroed();
  }
  in.copy_to(report.chip_id);
  report.committed_tcb = in.tcb(turin);
  report.current = in.firmware();
  if (!in.skip_zeroed(kReservedAfterFirmware)) return CodecError::not_zeroed();
  report.committed = in.firmware();
  if (!in.skip_zeroed(kReservedAfterFirmware)) return CodecError::not_zeroed();
  report.launch_tcb = in.tcb(turin);
  if (has_mit_vectors) {
    report.launch_mit_vector = in.u64();
    report.current_mit_vector = in.u64();
    if (!in.skip_zeroed(kReservedAfterMitVectors)) return CodecError::not_zeroed();
  } else {
    if (!in.skip_zeroed(kReservedMitVectorArea)) return CodecError::not_zeroed();
  }
  in.copy_to(report.signature.r);
  in.copy_to(report.signature.s);
  // The 368 bytes after the signature are neither read nor kept.
  return Unit{};
}

}  // namespace

CodecResult<ProcessorGeneration> AttestationReport::generation() const {
  return ProcessorGeneration::for_report(version, chip_id, cpuid_fam_id.value_or(0), cpuid_mod_id.value_or(0));
}

CodecResult<AttestationReport> AttestationReport::from_bytes(std::span<const std::uint8_t> bytes) {
  // Every return below returns `result`, so that the record is decoded in
  // the caller's place: returning a local record would copy it twice (into
  // the result's argument, then into the result), a large share of the
  // decoding's cost.
  CodecResult<AttestationReport> result{AttestationReport{}};
  if (auto decoded = decode(bytes, result.value()); !decoded.ok()) result = std::move(decoded).error();
  return result;
}

}  // namespace quorvel
