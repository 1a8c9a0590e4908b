#pragma once

// The AMD SEV-SNP attestation report: its decoded record, decoding from the
// 1184 raw bytes and encoding back to them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/codec_error.hpp"
#include "codec/processor_generation.hpp"
#include "codec/result.hpp"
#include "codec/tcb_version.hpp"

namespace quorvel {

// Size of a raw report, and of the part before the signature that the
// signature covers.
inline constexpr std::size_t kReportSize = 0x4A0;        // 1184
inline constexpr std::size_t kSignedRegionSize = 0x2A0;  // 672

// A firmware version. The report stores it as build, minor, major (lowest
// offset first), the reverse of the field order here.
struct FirmwareVersion {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  std::uint8_t build = 0;
  friend bool operator==(const FirmwareVersion&, const FirmwareVersion&) = default;
};

// The two halves of the ECDSA signature, little-endian, exactly as stored.
struct Signature {
  std::array<std::uint8_t, 72> r{};
  std::array<std::uint8_t, 72> s{};
  friend bool operator==(const Signature&, const Signature&) = default;
};

using EncodedReport = std::array<std::uint8_t, kReportSize>;

// A decoded report: a plain value holding no reference to its input. The
// processor generation is not stored; it is derived again when needed. The
// byte layout is described in report_layout.hpp.
struct AttestationReport {
  std::uint32_t version = 0;
  std::uint32_t guest_svn = 0;
  std::uint64_t policy = 0;
  std::array<std::uint8_t, 16> family_id{};
  std::array<std::uint8_t, 16> image_id{};
  std::uint32_t vmpl = 0;
  std::uint32_t sig_algo = 0;
  TcbVersion current_tcb;
  std::uint64_t plat_info = 0;
  std::uint32_t key_info = 0;
  std::array<std::uint8_t, 64> report_data{};
  std::array<std::uint8_t, 48> measurement{};
  std::array<std::uint8_t, 32> host_data{};
  std::array<std::uint8_t, 48> id_key_digest{};
  std::array<std::uint8_t, 48> author_key_digest{};
  std::array<std::uint8_t, 32> report_id{};
  std::array<std::uint8_t, 32> report_id_ma{};
  TcbVersion reported_tcb;
  std::optional<std::uint8_t> cpuid_fam_id;  // present from version 3
  std::optional<std::uint8_t> cpuid_mod_id;  // present from version 3
  std::optional<std::uint8_t> cpuid_step;    // present from version 3
  std::array<std::uint8_t, 64> chip_id{};
  TcbVersion committed_tcb;
  FirmwareVersion current;
  FirmwareVersion committed;
  TcbVersion launch_tcb;
  std::optional<std::uint64_t> launch_mit_vector;   // present from version 5
  std::optional<std::uint64_t> current_mit_vector;  // present from version 5
  Signature signature;

  // Decodes and validates a raw report. Any length is accepted as input; only
  // exactly 1184 bytes can succeed. The input is neither modified nor kept.
  static CodecResult<AttestationReport> from_bytes(std::span<const std::uint8_t> bytes);

  // Encodes the record back into the 1184-byte layout. Fields the record does
  // not keep (reserved bytes, the 368 bytes after the signature) become zero.
  CodecResult<EncodedReport> to_bytes() const;

  // The generation that governs the TCB fields of this record, by the same
  // rule the decoder applied to the raw bytes.
  CodecResult<ProcessorGeneration> generation() const {
    return ProcessorGeneration::for_report(version, chip_id, cpuid_fam_id.value_or(0), cpuid_mod_id.value_or(0));
  }

  friend bool operator==(const AttestationReport&, const AttestationReport&) = default;
};

}  // namespace quorvel
