#pragma once

// Builds raw 1184-byte reports for the codec tests, one field at a time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/attestation_report.hpp"

namespace quorvel::test_support {

using RawReport = std::array<std::uint8_t, kReportSize>;

// Offsets of the raw report layout, written out here independently of the
// codec's own description.
namespace offset {
inline constexpr std::size_t kVersion = 0x000, kGuestSvn = 0x004, kPolicy = 0x008, kFamilyId = 0x010, kImageId = 0x020,
                             kVmpl = 0x030 /* then sig_algo */, kCurrentTcb = 0x038,
                             kPlatInfo = 0x040 /* then key_info */, kReportData = 0x050, kMeasurement = 0x090,
                             kHostData = 0x0C0, kIdKeyDigest = 0x0E0, kAuthorKeyDigest = 0x110, kReportId = 0x140,
                             kReportIdMa = 0x160, kReportedTcb = 0x180, kCpuid = 0x188, kChipId = 0x1A0,
                             kCommittedTcb = 0x1E0, kCurrentFirmware = 0x1E8 /* then committed at 0x1EC */,
                             kLaunchTcb = 0x1F0, kLaunchMitVector = 0x1F8, kCurrentMitVector = 0x200,
                             kSignatureR = 0x2A0, kSignatureS = 0x2E8, kTail = 0x330;
inline constexpr std::array<std::size_t, 4> kTcbFields = {kCurrentTcb, kReportedTcb, kCommittedTcb, kLaunchTcb};
}  // namespace offset

// The tests' model of a TCB layout: the byte of each component within the 8
// bytes of a field, and the reserved bytes.
struct TcbModel {
  std::optional<std::size_t> fmc;
  std::size_t bootloader, tee, snp, microcode;
  std::vector<std::size_t> reserved;
};

inline const TcbModel kMilanGenoaTcb{std::nullopt, 0, 1, 6, 7, {2, 3, 4, 5}};
inline const TcbModel kTurinTcb{0, 1, 2, 3, 7, {4, 5, 6}};

// The tests' model of the processor generations: a CPUID family and model of
// each, and its TCB layout. Suites that cover every generation iterate this.
struct GenerationModel {
  const char* name;
  ProcessorGeneration::Value generation;
  std::uint8_t family;
  std::uint8_t model;
  const TcbModel& tcb;
};

inline const GenerationModel kGenerations[] = {
    {"milan", ProcessorGeneration::Milan, 0x19, 0x01, kMilanGenoaTcb},
    {"genoa", ProcessorGeneration::Genoa, 0x19, 0x11, kMilanGenoaTcb},
    {"turin", ProcessorGeneration::Turin, 0x1A, 0x02, kTurinTcb},
};

inline const GenerationModel& generation_model(ProcessorGeneration generation) {
  for (const GenerationModel& model : kGenerations) {
    if (model.generation == generation.value()) return model;
  }
  throw std::logic_error("no model of this generation");
}

// The 8 bytes of a TCB field in `layout` holding `tcb`, with `filler` in the
// reserved bytes (an absent fmc is written as 0).
inline std::array<std::uint8_t, 8> tcb_field(const TcbModel& layout, const TcbVersion& tcb, std::uint8_t filler = 0) {
  std::array<std::uint8_t, 8> field{};
  for (std::size_t at : layout.reserved) field[at] = filler;
  if (layout.fmc) field[*layout.fmc] = tcb.fmc.value_or(0);
  field[layout.bootloader] = tcb.bootloader;
  field[layout.tee] = tcb.tee;
  field[layout.snp] = tcb.snp;
  field[layout.microcode] = tcb.microcode;
  return field;
}

// What reading a field in `layout` gives: `tcb` with fmc exactly when the
// layout has one.
inline TcbVersion as_read(const TcbModel& layout, TcbVersion tcb) {
  tcb.fmc = layout.fmc ? std::optional<std::uint8_t>(tcb.fmc.value_or(0)) : std::nullopt;
  return tcb;
}

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
  static ReportBuilder of(const GenerationModel& generation, std::uint32_t version = 3) {
    return with_cpuid(version, generation.family, generation.model);
  }
  static ReportBuilder milan(std::uint32_t version = 3) { return of(kGenerations[0], version); }
  static ReportBuilder genoa(std::uint32_t version = 3) { return of(kGenerations[1], version); }
  static ReportBuilder turin(std::uint32_t version = 3) { return of(kGenerations[2], version); }
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
  // tcb_value(i) in `layout`. Mitigation vectors are filled from version 5 on.
  ReportBuilder& distinct_fields(const TcbModel& layout) {
    using namespace offset;
    bytes(kGuestSvn, counting<4>(0x01)).bytes(kPolicy, counting<8>(0x05));
    bytes(kFamilyId, counting<16>(0x10)).bytes(kImageId, counting<16>(0x20));
    bytes(kVmpl, counting<8>(0x30)).bytes(kPlatInfo, counting<12>(0x48));
    bytes(kReportData, counting<64>(0x60)).bytes(kMeasurement, counting<48>(0xA0));
    bytes(kHostData, counting<32>(0xD0)).bytes(kIdKeyDigest, counting<48>(0x02));
    bytes(kAuthorKeyDigest, counting<48>(0x32)).bytes(kReportId, counting<32>(0x62));
    bytes(kReportIdMa, counting<32>(0x82)).bytes(kCurrentFirmware, {1, 2, 3, 0, 4, 5, 6, 0});
    bytes(kSignatureR, counting<72>(0x11)).bytes(kSignatureS, counting<72>(0x91));
    for (std::size_t i = 0; i < kTcbFields.size(); ++i) bytes(kTcbFields[i], tcb_field(layout, tcb_value(i)));
    if (raw_[0] >= 5 || raw_[1] != 0 || raw_[2] != 0 || raw_[3] != 0) bytes(kLaunchMitVector, counting<16>(0xE0));
    return *this;
  }

  // The distinct value of TCB field i: fmc n, then n + 1, n + 2, n + 3 and
  // microcode 0x44, with n = 0x10 * (i + 1).
  static TcbVersion tcb_value(std::size_t i) {
    const auto n = counting<4>(static_cast<std::uint8_t>(0x10 * (i + 1)));
    return TcbVersion{n[0], n[1], n[2], n[3], 0x44};
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
