#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/attestation_report.hpp"
#include "report_builder.hpp"

namespace quorvel {
namespace {

using namespace test_support::offset;
using test_support::counting;
using test_support::failure_of;
using test_support::RawReport;
using test_support::ReportBuilder;

struct Variant {
  std::string name;
  ReportBuilder base;
  const test_support::TcbModel& tcb;
};

std::vector<Variant> variants() {
  std::vector<Variant> out = {
      {"milan v3", ReportBuilder::with_cpuid(3, 0x19, 0x01, 0x01), test_support::kMilanGenoaTcb},
      {"genoa v4", ReportBuilder::with_cpuid(4, 0x19, 0xA5, 0x02), test_support::kMilanGenoaTcb},
      {"genoa v9", ReportBuilder::with_cpuid(9, 0x19, 0x11, 0x01), test_support::kMilanGenoaTcb},
      {"genoa v2", ReportBuilder::genoa_v2().bytes(kChipId, counting<64>(0x90)), test_support::kMilanGenoaTcb},
      {"turin v2", ReportBuilder::turin_v2().bytes(kChipId, counting<8>(0x90)), test_support::kTurinTcb},
  };
  for (const test_support::GenerationModel& g : test_support::kGenerations)
    out.push_back({std::string(g.name) + " v5", ReportBuilder::of(g, 5).u8(kCpuid + 2, 0x03), g.tcb});
  return out;
}

RawReport encode(const RawReport& raw) {
  const auto decoded = AttestationReport::from_bytes(raw);
  EXPECT_TRUE(decoded.ok()) << *failure_of(decoded);
  const auto encoded = decoded.value().to_bytes();
  EXPECT_TRUE(encoded.ok()) << *failure_of(encoded);
  return encoded.value();
}

// Every kept field comes back as read; only the TCB reserved bytes of the
// generation and the bytes after the signature are zeroed, and a second pass
// changes nothing.
TEST(ReportEncoderTest, RoundTripChangesOnlyTcbReservedBytesAndTheTail) {
  for (const Variant& v : variants()) {
    SCOPED_TRACE(v.name);
    ReportBuilder b = v.base;
    b.distinct_fields(v.tcb);
    std::vector<std::size_t> expected_diff;
    for (std::size_t field : kTcbFields) {
      for (std::size_t i : v.tcb.reserved) {
        b.u8(field + i, static_cast<std::uint8_t>(0xA0 + i));
        expected_diff.push_back(field + i);
      }
    }
    for (std::size_t at = kTail; at < kReportSize; ++at) {
      b.u8(at, static_cast<std::uint8_t>(at));
      if (static_cast<std::uint8_t>(at) != 0) expected_diff.push_back(at);
    }
    const RawReport encoded = encode(b.raw());
    std::vector<std::size_t> diff;
    for (std::size_t at = 0; at < kReportSize; ++at)
      if (encoded[at] != b.raw()[at]) diff.push_back(at);
    EXPECT_EQ(diff, expected_diff);
    EXPECT_EQ(encode(encoded), encoded);
  }
}

AttestationReport record(std::uint32_t version, std::uint8_t family, std::uint8_t model) {
  AttestationReport r;
  r.version = version;
  r.chip_id = counting<64>(1);
  if (version >= 3) {
    r.cpuid_fam_id = family;
    r.cpuid_mod_id = model;
    r.cpuid_step = 0x01;
  }
  return r;
}

template <std::size_t N>
std::vector<std::uint8_t> slice(const std::array<std::uint8_t, N>& bytes, std::size_t at, std::size_t count) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + count)};
}

TEST(ReportEncoderTest, VersionDependentBlocksTakeTheSameRoom) {
  AttestationReport v2 = record(2, 0, 0);
  const auto v2_bytes = v2.to_bytes().value();
  EXPECT_EQ(slice(v2_bytes, 0x188, 24), std::vector<std::uint8_t>(24, 0));
  EXPECT_EQ(slice(v2_bytes, 0x1F8, 168), std::vector<std::uint8_t>(168, 0));
  EXPECT_EQ(slice(v2_bytes, kChipId, 64), slice(counting<64>(1), 0, 64));

  AttestationReport v3 = record(3, 0x19, 0x11);
  v3.current_tcb = TcbVersion{9, 1, 2, 3, 4};  // fmc has no place in the Genoa layout
  const auto v3_bytes = v3.to_bytes().value();
  std::vector<std::uint8_t> cpuid_block(24, 0);
  cpuid_block[0] = 0x19, cpuid_block[1] = 0x11, cpuid_block[2] = 0x01;
  EXPECT_EQ(slice(v3_bytes, 0x188, 24), cpuid_block);
  EXPECT_EQ(slice(v3_bytes, kCurrentTcb, 8), (std::vector<std::uint8_t>{1, 2, 0, 0, 0, 0, 3, 4}));

  AttestationReport v5 = record(5, 0x19, 0x01);
  v5.launch_mit_vector = 0x0201;
  v5.current_mit_vector = 3;
  const auto v5_bytes = v5.to_bytes().value();
  EXPECT_EQ(slice(v5_bytes, 0x1F8, 16), (std::vector<std::uint8_t>{1, 2, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(slice(v5_bytes, 0x208, 152), std::vector<std::uint8_t>(152, 0));

  v5.current_mit_vector.reset();  // an absent vector is written as 0
  EXPECT_EQ(slice(v5.to_bytes().value(), 0x200, 8), std::vector<std::uint8_t>(8, 0));
  v5.launch_mit_vector.reset();
  EXPECT_EQ(slice(v5.to_bytes().value(), 0x1F8, 168), std::vector<std::uint8_t>(168, 0));
}

TEST(ReportEncoderTest, FirmwareVersionsAreWrittenBuildFirst) {
  AttestationReport r = record(3, 0x19, 0x01);
  r.current = FirmwareVersion{.major = 3, .minor = 2, .build = 1};
  r.committed = FirmwareVersion{.major = 6, .minor = 5, .build = 4};
  EXPECT_EQ(slice(r.to_bytes().value(), kCurrentFirmware, 8), (std::vector<std::uint8_t>{1, 2, 3, 0, 4, 5, 6, 0}));
}

// The encoder derives the generation again and refuses a record it cannot
// place, before writing anything.
TEST(ReportEncoderTest, GenerationRuleFailuresAreReturned) {
  AttestationReport masked = record(2, 0, 0);
  masked.chip_id = {};
  const std::pair<AttestationReport, std::string> cases[] = {
      {masked, "Custom { kind: Other, error: MaskedChipId }"},
      {record(3, 0x17, 0x01), R"(Custom { kind: InvalidData, error: "processor is not of know SEV-SNP generation." })"},
      {record(3, 0x19, 0x20), R"(Custom { kind: InvalidData, error: "processor is not of know SEV-SNP model." })"},
      {record(5, 0x1A, 0x12), R"(Custom { kind: InvalidData, error: "processor is not of know SEV-SNP model." })"},
  };
  for (const auto& [report, expected] : cases) EXPECT_EQ(failure_of(report.to_bytes()), expected);
}

}  // namespace
}  // namespace quorvel
