#include <algorithm>
#include <array>
#include <string>

#include "codec/attestation_report.hpp"

namespace quorvel {
namespace {

// Reserved runs of the layout, by size.
constexpr std::size_t kReservedAfterKeyInfo = 4;       // 0x04C
constexpr std::size_t kReservedAfterCpuid = 21;        // 0x18B, versions 3 and later
constexpr std::size_t kReservedCpuidArea = 24;         // 0x188, version 2
constexpr std::size_t kReservedAfterFirmware = 1;      // 0x1EB and 0x1EF
constexpr std::size_t kReservedAfterMitVectors = 152;  // 0x208, versions 5 and later
constexpr std::size_t kReservedMitVectorArea = 168;    // 0x1F8, versions 2 to 4

constexpr std::uint32_t kFirstCpuidVersion = 3;
constexpr std::uint32_t kFirstMitVectorVersion = 5;
constexpr std::uint32_t kOldestSupportedVersion = 2;

CodecError wrong_length(std::size_t actual) {
  std::string text = "expected ";
  text += std::to_string(kReportSize);
  text += " bytes, got ";
  text += std::to_string(actual);
  return CodecError::with_text(ErrorKind::InvalidData, text);
}

// Reads one field into `target`, returning the cursor's error on failure.
template <typename T, typename R>
CodecResult<Unit> assign(T& target, R result) {
  if (!result.ok()) return std::move(result).error();
  target = std::move(result).value();
  return Unit{};
}

CodecResult<FirmwareVersion> read_firmware_version(ByteCursor& cursor) {
  QUORVEL_TRY_ASSIGN(bytes, cursor.read_array<3>());
  QUORVEL_TRY(cursor.skip_zeroed(kReservedAfterFirmware));
  return FirmwareVersion{.major = bytes[2], .minor = bytes[1], .build = bytes[0]};
}

}  // namespace

CodecResult<ProcessorGeneration> AttestationReport::generation() const {
  return ProcessorGeneration::for_report(version, chip_id, cpuid_fam_id.value_or(0), cpuid_mod_id.value_or(0));
}

CodecResult<AttestationReport> AttestationReport::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kReportSize) return wrong_length(bytes.size());

  AttestationReport report;
  ByteCursor cursor(bytes);
  QUORVEL_TRY(assign(report.version, cursor.read_u32()));
  if (report.version < kOldestSupportedVersion) return CodecError::from_kind(ErrorKind::Unsupported);
  const bool has_cpuid = report.version >= kFirstCpuidVersion;
  const bool has_mit_vectors = report.version >= kFirstMitVectorVersion;

  // The generation is decided from the raw bytes before any other field is
  // looked at, so that its failures take precedence over every later one.
  std::array<std::uint8_t, 64> raw_chip_id;
  std::copy_n(bytes.begin() + kChipIdOffset, raw_chip_id.size(), raw_chip_id.begin());
  QUORVEL_TRY_ASSIGN(generation, ProcessorGeneration::for_report(report.version, raw_chip_id, bytes[kCpuidFamilyOffset],
                                                                 bytes[kCpuidModelOffset]));

  QUORVEL_TRY(assign(report.guest_svn, cursor.read_u32()));
  QUORVEL_TRY(assign(report.policy, cursor.read_u64()));
  QUORVEL_TRY(assign(report.family_id, cursor.read_array<16>()));
  QUORVEL_TRY(assign(report.image_id, cursor.read_array<16>()));
  QUORVEL_TRY(assign(report.vmpl, cursor.read_u32()));
  QUORVEL_TRY(assign(report.sig_algo, cursor.read_u32()));
  QUORVEL_TRY(assign(report.current_tcb, TcbVersion::from_bytes(cursor, generation)));
  QUORVEL_TRY(assign(report.plat_info, cursor.read_u64()));
  QUORVEL_TRY(assign(report.key_info, cursor.read_u32()));
  QUORVEL_TRY(cursor.skip_zeroed(kReservedAfterKeyInfo));
  QUORVEL_TRY(assign(report.report_data, cursor.read_array<64>()));
  QUORVEL_TRY(assign(report.measurement, cursor.read_array<48>()));
  QUORVEL_TRY(assign(report.host_data, cursor.read_array<32>()));
  QUORVEL_TRY(assign(report.id_key_digest, cursor.read_array<48>()));
  QUORVEL_TRY(assign(report.author_key_digest, cursor.read_array<48>()));
  QUORVEL_TRY(assign(report.report_id, cursor.read_array<32>()));
  QUORVEL_TRY(assign(report.report_id_ma, cursor.read_array<32>()));
  QUORVEL_TRY(assign(report.reported_tcb, TcbVersion::from_bytes(cursor, generation)));
  if (has_cpuid) {
    QUORVEL_TRY_ASSIGN(cpuid, cursor.read_array<3>());
    report.cpuid_fam_id = cpuid[0];
    report.cpuid_mod_id = cpuid[1];
    report.cpuid_step = cpuid[2];
    QUORVEL_TRY(cursor.skip_zeroed(kReservedAfterCpuid));
  } else {
    QUORVEL_TRY(cursor.skip_zeroed(kReservedCpuidArea));
  }
  QUORVEL_TRY(assign(report.chip_id, cursor.read_array<64>()));
  QUORVEL_TRY(assign(report.committed_tcb, TcbVersion::from_bytes(cursor, generation)));
  QUORVEL_TRY(assign(report.current, read_firmware_version(cursor)));
  QUORVEL_TRY(assign(report.committed, read_firmware_version(cursor)));
  QUORVEL_TRY(assign(report.launch_tcb, TcbVersion::from_bytes(cursor, generation)));
  if (has_mit_vectors) {
    QUORVEL_TRY(assign(report.launch_mit_vector, cursor.read_u64()));
    QUORVEL_TRY(assign(report.current_mit_vector, cursor.read_u64()));
    QUORVEL_TRY(cursor.skip_zeroed(kReservedAfterMitVectors));
  } else {
    QUORVEL_TRY(cursor.skip_zeroed(kReservedMitVectorArea));
  }
  QUORVEL_TRY(assign(report.signature.r, cursor.read_array<72>()));
  QUORVEL_TRY(assign(report.signature.s, cursor.read_array<72>()));
  // The 368 bytes after the signature are neither read nor kept.
  return report;
}

}  // namespace quorvel
