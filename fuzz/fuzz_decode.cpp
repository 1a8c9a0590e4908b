// Fuzz target: AttestationReport::from_bytes and to_bytes on arbitrary input.
//
// Every input is judged against a small model of the report format written
// independently of the decoder: the model names the one outcome the input
// must have (a success, or the exact rendering of the first failure in
// precedence order). After a success the record, its encoding and a second
// decode of that encoding are checked against the input. Any disagreement
// aborts, so libFuzzer keeps the input as a crash artifact.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/attestation_report.hpp"
#include "fuzz_model.hpp"

namespace {

using quorvel::AttestationReport;
using quorvel::CodecError;
using quorvel::ErrorKind;
using quorvel::ProcessorGeneration;
using quorvel::TcbVersion;
using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t kReportSize = 1184;

std::uint64_t load_le(Bytes in, std::size_t offset, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{in[offset + i]} << (8 * i);
  return value;
}

bool all_zero(Bytes in, std::size_t offset, std::size_t size) {
  for (std::size_t i = offset; i < offset + size; ++i) {
    if (in[i] != 0) return false;
  }
  return true;
}

template <std::size_t N>
bool same(const std::array<std::uint8_t, N>& field, Bytes in, std::size_t offset) {
  for (std::size_t i = 0; i < N; ++i) {
    if (field[i] != in[offset + i]) return false;
  }
  return true;
}

// The renderings a decode can fail with (besides the generation rule's, in
// the model); the length error also names the input's length.
const std::string kUnsupported = "Kind(Unsupported)";
const std::string kNotZeroed = "Custom { kind: InvalidData, error: \"Skipped bytes were expected to be zeroed.\" }";

std::string length_error(std::size_t size) {
  return "Custom { kind: InvalidData, error: \"expected 1184 bytes, got " + std::to_string(size) + "\" }";
}

using Outcome = fuzz_model::Generation;

struct Run {
  std::size_t offset;
  std::size_t size;
};

// What decoding `in` must give, failures in precedence order: length,
// version, generation, then the reserved runs in layout order.
Outcome expected_outcome(Bytes in) {
  if (in.size() != kReportSize) return {length_error(in.size()), {}};
  const auto version = static_cast<std::uint32_t>(load_le(in, 0, 4));
  if (version < 2) return {kUnsupported, {}};

  const Outcome outcome = version == 2 ? fuzz_model::generation_by_chip_id(in.subspan<0x1A0, 64>())
                                       : fuzz_model::generation_by_cpuid(in[0x188], in[0x189]);
  if (!outcome.failure.empty()) return outcome;

  const std::vector<Run> reserved = {
      {0x04C, 4},                                        // after key_info
      version == 2 ? Run{0x188, 24} : Run{0x18B, 21},    // the CPUID area, or what follows the CPUID bytes
      {0x1EB, 1},                                        // after the current firmware version
      {0x1EF, 1},                                        // after the committed firmware version
      version >= 5 ? Run{0x208, 152} : Run{0x1F8, 168},  // the mitigation vector area, or what follows it
  };
  for (const Run& run : reserved) {
    if (!all_zero(in, run.offset, run.size)) return {kNotZeroed, {}};
  }
  return outcome;
}

constexpr std::array<std::size_t, 4> kTcbOffsets = {0x038, 0x180, 0x1E0, 0x1F0};

// Whether re-encoding writes zero at `offset` whatever the input holds there.
bool zeroed_by_encoding(std::size_t offset, const fuzz_model::TcbLayout& layout) {
  if (offset >= 0x330) return true;
  for (const std::size_t field : kTcbOffsets) {
    if (offset >= field && offset < field + 8) return layout[offset - field] == fuzz_model::Reserved;
  }
  return false;
}

void check_failure(const CodecError& error, Bytes in, const std::string& expected) {
  const std::string rendering = error.debug_rendering();
  const bool known = rendering == length_error(in.size()) || rendering == kUnsupported ||
                     rendering == fuzz_model::kMaskedChipId || rendering == fuzz_model::kUnknownGeneration ||
                     rendering == fuzz_model::kUnknownModel || rendering == kNotZeroed;
  FUZZ_CHECK(known);
  FUZZ_CHECK(rendering == expected);
  if (rendering == kUnsupported) {
    FUZZ_CHECK(error.kind() == ErrorKind::Unsupported);
  } else if (rendering == fuzz_model::kMaskedChipId) {
    FUZZ_CHECK(error.kind() == ErrorKind::Other);
  } else {
    FUZZ_CHECK(error.kind() == ErrorKind::InvalidData);
  }
}

void check_success(const AttestationReport& report, Bytes in, ProcessorGeneration::Value generation) {
  const std::uint32_t version = report.version;
  FUZZ_CHECK(version == load_le(in, 0, 4));

  // Optional fields are present exactly from their version on.
  const bool has_cpuid = version >= 3;
  FUZZ_CHECK(report.cpuid_fam_id.has_value() == has_cpuid);
  FUZZ_CHECK(report.cpuid_mod_id.has_value() == has_cpuid);
  FUZZ_CHECK(report.cpuid_step.has_value() == has_cpuid);
  if (has_cpuid) {
    FUZZ_CHECK(*report.cpuid_fam_id == in[0x188] && *report.cpuid_mod_id == in[0x189] &&
               *report.cpuid_step == in[0x18A]);
  }
  const bool has_mit_vectors = version >= 5;
  FUZZ_CHECK(report.launch_mit_vector.has_value() == has_mit_vectors);
  FUZZ_CHECK(report.current_mit_vector.has_value() == has_mit_vectors);
  if (has_mit_vectors) {
    FUZZ_CHECK(*report.launch_mit_vector == load_le(in, 0x1F8, 8));
    FUZZ_CHECK(*report.current_mit_vector == load_le(in, 0x200, 8));
  }

  // Fields read in the generation's TCB layout and straight from the input.
  const fuzz_model::TcbLayout layout = fuzz_model::tcb_layout_of(generation).value();
  const TcbVersion* tcb_fields[] = {&report.current_tcb, &report.reported_tcb, &report.committed_tcb,
                                    &report.launch_tcb};
  for (std::size_t i = 0; i < kTcbOffsets.size(); ++i)
    fuzz_model::check_tcb_read(*tcb_fields[i], in.data() + kTcbOffsets[i], layout);
  FUZZ_CHECK(same(report.chip_id, in, 0x1A0));
  FUZZ_CHECK(same(report.report_data, in, 0x050));
  FUZZ_CHECK(same(report.signature.r, in, 0x2A0));
  FUZZ_CHECK(same(report.signature.s, in, 0x2E8));
  FUZZ_CHECK(report.current.build == in[0x1E8] && report.current.minor == in[0x1E9] &&
             report.current.major == in[0x1EA]);
  FUZZ_CHECK(report.committed.build == in[0x1EC] && report.committed.minor == in[0x1ED] &&
             report.committed.major == in[0x1EE]);

  const auto derived = report.generation();
  FUZZ_CHECK(derived.ok() && derived.value().value() == generation);

  // The encoding reproduces the input except where it writes zeros.
  const auto encoded = report.to_bytes();
  FUZZ_CHECK(encoded.ok());
  const auto& out = encoded.value();
  FUZZ_CHECK(out.size() == kReportSize);
  for (std::size_t i = 0; i < kReportSize; ++i) {
    FUZZ_CHECK(out[i] == (zeroed_by_encoding(i, layout) ? 0 : in[i]));
  }

  // Decoding the encoding gives the same record, and encoding that again
  // the same bytes: one pass reaches the fixed point.
  const auto again = AttestationReport::from_bytes(out);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again.value() == report);
  const auto reencoded = again.value().to_bytes();
  FUZZ_CHECK(reencoded.ok() && reencoded.value() == out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes in(data, size);
  const Outcome expected = expected_outcome(in);
  const auto decoded = AttestationReport::from_bytes(in);
  if (!expected.failure.empty()) {
    FUZZ_CHECK(!decoded.ok());
    check_failure(decoded.error(), in, expected.failure);
    return 0;
  }
  FUZZ_CHECK(decoded.ok());
  FUZZ_CHECK(expected.value.has_value());
  check_success(decoded.value(), in, *expected.value);

  // Decoding is a pure function of the input.
  const auto repeated = AttestationReport::from_bytes(in);
  FUZZ_CHECK(repeated.ok() && repeated.value() == decoded.value());
  return 0;
}
