#pragma once

// The byte layout of the raw report, described once for both directions: the
// decoder and the encoder each run transfer_fields with their own pass, so a
// field or reserved run added here is read and written alike.

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "codec/attestation_report.hpp"
#include "codec/inlining.hpp"

namespace quorvel::layout {

// A run of Size bytes at Offset. Each field and each reserved run is one, so
// the passes can check at compile time that a value fills its run exactly.
template <std::size_t Offset, std::size_t Size>
struct Run {
  static constexpr std::size_t offset = Offset;
  static constexpr std::size_t size = Size;
  static constexpr std::size_t end = Offset + Size;
};

inline constexpr Run<0x000, 4> kVersion;
inline constexpr Run<0x004, 4> kGuestSvn;
inline constexpr Run<0x008, 8> kPolicy;
inline constexpr Run<0x010, 16> kFamilyId;
inline constexpr Run<0x020, 16> kImageId;
inline constexpr Run<0x030, 4> kVmpl;
inline constexpr Run<0x034, 4> kSigAlgo;
inline constexpr Run<0x038, 8> kCurrentTcb;
inline constexpr Run<0x040, 8> kPlatInfo;
inline constexpr Run<0x048, 4> kKeyInfo;
inline constexpr Run<0x04C, 4> kReservedAfterKeyInfo;
inline constexpr Run<0x050, 64> kReportData;
inline constexpr Run<0x090, 48> kMeasurement;
inline constexpr Run<0x0C0, 32> kHostData;
inline constexpr Run<0x0E0, 48> kIdKeyDigest;
inline constexpr Run<0x110, 48> kAuthorKeyDigest;
inline constexpr Run<0x140, 32> kReportId;
inline constexpr Run<0x160, 32> kReportIdMa;
inline constexpr Run<0x180, 8> kReportedTcb;
// The CPUID area: version 2 reserves it whole; from version 3 on it holds the
// CPUID family, model and stepping, then a reserved run.
inline constexpr Run<0x188, 24> kCpuidArea;
inline constexpr Run<0x188, 1> kCpuidFamily;
inline constexpr Run<0x189, 1> kCpuidModel;
inline constexpr Run<0x18A, 1> kCpuidStep;
inline constexpr Run<0x18B, 21> kReservedAfterCpuid;
inline constexpr Run<0x1A0, 64> kChipId;
inline constexpr Run<0x1E0, 8> kCommittedTcb;
// Firmware versions are stored build, minor, major, each followed by a reserved byte.
inline constexpr Run<0x1E8, 3> kCurrentFirmware;
inline constexpr Run<0x1EB, 1> kReservedAfterCurrentFirmware;
inline constexpr Run<0x1EC, 3> kCommittedFirmware;
inline constexpr Run<0x1EF, 1> kReservedAfterCommittedFirmware;
inline constexpr Run<0x1F0, 8> kLaunchTcb;
// The mitigation-vector area: versions 2 to 4 reserve it whole; from version 5
// on it holds the launch and current vectors, then a reserved run.
inline constexpr Run<0x1F8, 168> kMitVectorArea;
inline constexpr Run<0x1F8, 8> kLaunchMitVector;
inline constexpr Run<0x200, 8> kCurrentMitVector;
inline constexpr Run<0x208, 152> kReservedAfterMitVectors;
inline constexpr Run<0x2A0, 72> kSignatureR;
inline constexpr Run<0x2E8, 72> kSignatureS;
// Neither read nor kept; the encoding writes zeros.
inline constexpr Run<0x330, 368> kTail;

// Whether the runs follow one another without gap or overlap.
template <typename... Runs>
constexpr bool adjacent(Runs... runs) {
  constexpr std::size_t offsets[] = {Runs::offset...};
  constexpr std::size_t ends[] = {Runs::end...};
  for (std::size_t i = 1; i < sizeof...(runs); ++i) {
    if (offsets[i] != ends[i - 1]) return false;
  }
  return true;
}

// The sequential pass, with each version-dependent area taken whole, covers
// the report from the start to the end of the signature.
static_assert(adjacent(kVersion, kGuestSvn, kPolicy, kFamilyId, kImageId, kVmpl, kSigAlgo, kCurrentTcb, kPlatInfo,
                       kKeyInfo, kReservedAfterKeyInfo, kReportData, kMeasurement, kHostData, kIdKeyDigest,
                       kAuthorKeyDigest, kReportId, kReportIdMa, kReportedTcb, kCpuidArea, kChipId, kCommittedTcb,
                       kCurrentFirmware, kReservedAfterCurrentFirmware, kCommittedFirmware,
                       kReservedAfterCommittedFirmware, kLaunchTcb, kMitVectorArea, kSignatureR, kSignatureS, kTail));
static_assert(kVersion.offset == 0 && kSignatureS.end == 0x330 && kTail.end == kReportSize);
static_assert(kSignatureR.offset == kSignedRegionSize, "the signed region ends where the signature begins");
// Each version-dependent area holds the same bytes in every version.
static_assert(adjacent(kCpuidArea, kChipId) && adjacent(kCpuidFamily, kCpuidModel, kCpuidStep, kReservedAfterCpuid) &&
              kCpuidFamily.offset == kCpuidArea.offset && kReservedAfterCpuid.end == kCpuidArea.end);
static_assert(adjacent(kLaunchMitVector, kCurrentMitVector, kReservedAfterMitVectors) &&
              kLaunchMitVector.offset == kMitVectorArea.offset && kReservedAfterMitVectors.end == kMitVectorArea.end);

// The TCB layout of a generation that the rule yielded: the rule yields only
// enumerators, and each has a layout.
inline TcbLayout tcb_layout_of(ProcessorGeneration generation) {
  const std::optional<TcbLayout> layout = tcb_layout(generation);
  assert(layout.has_value());
  return layout.value();
}

// The version gates.
inline constexpr std::uint32_t kOldestSupportedVersion = 2;
constexpr bool has_cpuid(std::uint32_t version) noexcept { return version >= 3; }
constexpr bool has_mit_vectors(std::uint32_t version) noexcept { return version >= 5; }

template <typename T>
inline constexpr bool kIsOptional = false;
template <typename T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

// The size of a value as the layout stores it.
template <typename T>
inline constexpr std::size_t kStoredSize = sizeof(T);
template <typename T>
inline constexpr std::size_t kStoredSize<std::optional<T>> = sizeof(T);
template <std::size_t N>
inline constexpr std::size_t kStoredSize<std::array<std::uint8_t, N>> = N;
template <>
inline constexpr std::size_t kStoredSize<TcbVersion> = TcbVersion::kSize;
template <>
inline constexpr std::size_t kStoredSize<FirmwareVersion> = 3;

// Runs one step of a pass: a step that returns a result can fail, and its
// failure ends the transfer; a step that returns nothing cannot.
#define QUORVEL_STEP(call)                          \
  do {                                              \
    if constexpr (std::is_void_v<decltype(call)>) { \
      call;                                         \
    } else {                                        \
      QUORVEL_TRY(call);                            \
    }                                               \
  } while (false)

// Moves every field after the version between the report and `pass`, in layout
// order, and stops at the first failure. A pass offers
//   field(run, value): transfers `value`, which fills `run` exactly;
//   reserved(run): transfers a reserved run of zeros.
// `report` is the record being filled (decoding) or written out (encoding);
// its version is already set and selects the optional fields.
//
// Inlined into each direction, so that the pass's position lives in a
// register rather than being stored after every field.
template <typename Pass, typename Report>
QUORVEL_ALWAYS_INLINE CodecResult<Unit> transfer_fields(Pass& pass, Report& report) {
  QUORVEL_STEP(pass.field(kGuestSvn, report.guest_svn));
  QUORVEL_STEP(pass.field(kPolicy, report.policy));
  QUORVEL_STEP(pass.field(kFamilyId, report.family_id));
  QUORVEL_STEP(pass.field(kImageId, report.image_id));
  QUORVEL_STEP(pass.field(kVmpl, report.vmpl));
  QUORVEL_STEP(pass.field(kSigAlgo, report.sig_algo));
  QUORVEL_STEP(pass.field(kCurrentTcb, report.current_tcb));
  QUORVEL_STEP(pass.field(kPlatInfo, report.plat_info));
  QUORVEL_STEP(pass.field(kKeyInfo, report.key_info));
  QUORVEL_STEP(pass.reserved(kReservedAfterKeyInfo));
  QUORVEL_STEP(pass.field(kReportData, report.report_data));
  QUORVEL_STEP(pass.field(kMeasurement, report.measurement));
  QUORVEL_STEP(pass.field(kHostData, report.host_data));
  QUORVEL_STEP(pass.field(kIdKeyDigest, report.id_key_digest));
  QUORVEL_STEP(pass.field(kAuthorKeyDigest, report.author_key_digest));
  QUORVEL_STEP(pass.field(kReportId, report.report_id));
  QUORVEL_STEP(pass.field(kReportIdMa, report.report_id_ma));
  QUORVEL_STEP(pass.field(kReportedTcb, report.reported_tcb));
  if (has_cpuid(report.version)) {
    QUORVEL_STEP(pass.field(kCpuidFamily, report.cpuid_fam_id));
    QUORVEL_STEP(pass.field(kCpuidModel, report.cpuid_mod_id));
    QUORVEL_STEP(pass.field(kCpuidStep, report.cpuid_step));
    QUORVEL_STEP(pass.reserved(kReservedAfterCpuid));
  } else {
    QUORVEL_STEP(pass.reserved(kCpuidArea));
  }
  QUORVEL_STEP(pass.field(kChipId, report.chip_id));
  QUORVEL_STEP(pass.field(kCommittedTcb, report.committed_tcb));
  QUORVEL_STEP(pass.field(kCurrentFirmware, report.current));
  QUORVEL_STEP(pass.reserved(kReservedAfterCurrentFirmware));
  QUORVEL_STEP(pass.field(kCommittedFirmware, report.committed));
  QUORVEL_STEP(pass.reserved(kReservedAfterCommittedFirmware));
  QUORVEL_STEP(pass.field(kLaunchTcb, report.launch_tcb));
  if (has_mit_vectors(report.version)) {
    QUORVEL_STEP(pass.field(kLaunchMitVector, report.launch_mit_vector));
    QUORVEL_STEP(pass.field(kCurrentMitVector, report.current_mit_vector));
    QUORVEL_STEP(pass.reserved(kReservedAfterMitVectors));
  } else {
    QUORVEL_STEP(pass.reserved(kMitVectorArea));
  }
  QUORVEL_STEP(pass.field(kSignatureR, report.signature.r));
  QUORVEL_STEP(pass.field(kSignatureS, report.signature.s));
  return Unit{};
}

// The error of a report of the wrong size: `prefix` then
// "expected 1184 bytes, got N".
inline CodecError wrong_size(std::string_view prefix, std::size_t actual) {
  std::string text(prefix);
  text += "expected ";
  text += std::to_string(kReportSize);
  text += " bytes, got ";
  text += std::to_string(actual);
  return CodecError::with_text(ErrorKind::InvalidData, text);
}

}  // namespace quorvel::layout
