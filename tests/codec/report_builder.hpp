#pragma once

// Builds raw 1184-byte reports for the codec tests, one field at a time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "codec/attestation_report.hpp"

namespace quorvel::test_support {

using RawReport = std::array<std::uint8_t, kReportSize>;

// Offsets of the raw report layout.
namespace offset {
inline constexpr std::size_t kVersion = 0x000;
inline constexpr std::size_t kGuestSvn = 0x004;
inline constexpr std::size_t kPolicy = 0x008;
inline constexpr std::size_t kFamilyId = 0x010;
inline constexpr std::size_t kImageId = 0x020;
inline constexpr std::size_t kVmpl = 0x030;  // then sig_algo
inline constexpr std::size_t kCurrentTcb = 0x038;
inline constexpr std::size_t kPlatInfo = 0x040;  // then key_info
inline constexpr std::size_t kReportData = 0x050;
inline constexpr std::size_t kMeasurement = 0x090;
inline constexpr std::size_t kHostData = 0x0C0;
inline constexpr std::size_t kIdKeyDigest = 0x0E0;
inline constexpr std::size_t kAuthorKeyDigest = 0x110;
inline constexpr std::size_t kReportId = 0x140;
inline constexpr std::size_t kReportIdMa = 0x160;
inline constexpr std::size_t kReportedTcb = 0x180;
inline constexpr std::size_t kCpuid = 0x188;
inline constexpr std::size_t kChipId = 0x1A0;
inline constexpr std::size_t kCommittedTcb = 0x1E0;
inline constexpr std::size_t kCurrentFirmware = 0x1E8;  // then committed firmware at 0x1EC
inline constexpr std::size_t kLaunchTcb = 0x1F0;
inline constexpr std::size_t kLaunchMitVector = 0x1F8;
inline constexpr std::size_t kCurrentMitVector = 0x200;
inline constexpr std::size_t kSignatureR = 0x2A0;
inline constexpr std::size_t kSignatureS = 0x2E8;
inline constexpr std::size_t kTail = 0x330;
inline constexpr std::array<std::size_t, 4> kTcbFields = {kCurrentTcb, kReportedTcb, kCommittedTcb, kLaunchTcb};
}  // namespace offset

// N bytes counting up from `first` (wrapping), so that every byte of a field
// differs from its neighbours and misplaced or reversed bytes show.
template <std::size_t N>
std::array<std::uint8_t, N> counting(std::uint8_t first) {
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

// The debug rendering of a failed result, or nothing for a success.
template <typename R>
std::optional<std::string> failure_of(const R& result) {
  if (result.ok()) return std::nullopt;
  return result.error().debug_rendering();
}

class ReportBuilder {
 public:
  // Zero everywhere except the version and the CPUID family, model and stepping.
  static ReportBuilder with_cpuid(std::uint32_t version, std::uint8_t family, std::uint8_t model,
                                  std::uint8_t step = 0) {
    return ReportBuilder().u32(offset::kVersion, version).bytes(offset::kCpuid, {family, model, step});
  }
  static ReportBuilder milan(std::uint32_t version = 3) { return with_cpuid(version, 0x19, 0x01); }
  static ReportBuilder genoa(std::uint32_t version = 3) { return with_cpuid(version, 0x19, 0x11); }
  static ReportBuilder turin(std::uint32_t version = 3) { return with_cpuid(version, 0x1A, 0x02); }
  // Version 2 decides by chip id: a non-zero byte past the first 8 means Genoa,
  // only the first 8 bytes non-zero means Turin.
  static ReportBuilder genoa_v2() { return ReportBuilder().u32(offset::kVersion, 2).u8(offset::kChipId + 8, 0x42); }
  static ReportBuilder turin_v2() { return ReportBuilder().u32(offset::kVersion, 2).u8(offset::kChipId, 0x42); }

  ReportBuilder& u8(std::size_t at, std::uint8_t value) {
    raw_.at(at) = value;
    return *this;
  }
  ReportBuilder& u32(std::size_t at, std::uint32_t value) { return little_endian(at, value, 4); }
  ReportBuilder& bytes(std::size_t at, std::initializer_list<std::uint8_t> values) {
    for (std::uint8_t value : values) raw_.at(at++) = value;
    return *this;
  }
  template <std::size_t N>
  ReportBuilder& bytes(std::size_t at, const std::array<std::uint8_t, N>& values) {
    for (std::uint8_t value : values) raw_.at(at++) = value;
    return *this;
  }

  // Gives every field but version, CPUID and chip id distinct contents, and
  // leaves every reserved byte zero. TCB field i (in report order) holds
  // n, n+1, n+2 and microcode 0x44 with n = 0x10 * (i + 1): bootloader, tee,
  // snp in the Milan/Genoa layout; fmc, bootloader, tee, then snp 0x53 in the
  // Turin layout. Mitigation vectors are filled from version 5 on.
  ReportBuilder& distinct_fields(bool turin_layout) {
    using namespace offset;
    bytes(kGuestSvn, counting<4>(0x01)).bytes(kPolicy, counting<8>(0x05));
    bytes(kFamilyId, counting<16>(0x10)).bytes(kImageId, counting<16>(0x20));
    bytes(kVmpl, counting<8>(0x30)).bytes(kPlatInfo, counting<12>(0x48));
    bytes(kReportData, counting<64>(0x60)).bytes(kMeasurement, counting<48>(0xA0));
    bytes(kHostData, counting<32>(0xD0)).bytes(kIdKeyDigest, counting<48>(0x02));
    bytes(kAuthorKeyDigest, counting<48>(0x32)).bytes(kReportId, counting<32>(0x62));
    bytes(kReportIdMa, counting<32>(0x82)).bytes(kCurrentFirmware, {1, 2, 3, 0, 4, 5, 6, 0});
    bytes(kSignatureR, counting<72>(0x11)).bytes(kSignatureS, counting<72>(0x91));
    for (std::size_t i = 0; i < kTcbFields.size(); ++i) {
      const auto n = counting<3>(static_cast<std::uint8_t>(0x10 * (i + 1)));
      if (turin_layout) {
        bytes(kTcbFields[i], {n[0], n[1], n[2], 0x53, 0, 0, 0, 0x44});
      } else {
        bytes(kTcbFields[i], {n[0], n[1], 0, 0, 0, 0, n[2], 0x44});
      }
    }
    if (raw_[0] >= 5 || raw_[1] != 0 || raw_[2] != 0 || raw_[3] != 0) bytes(kLaunchMitVector, counting<16>(0xE0));
    return *this;
  }

  const RawReport& raw() const { return raw_; }
  CodecResult<AttestationReport> decode() const { return AttestationReport::from_bytes(raw_); }

 private:
  ReportBuilder& little_endian(std::size_t at, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) raw_.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    return *this;
  }

  RawReport raw_{};
};

}  // namespace quorvel::test_support
