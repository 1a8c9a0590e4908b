#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/attestation_report.hpp"
#include "report_builder.hpp"

namespace quorvel {
namespace {

using namespace test_support::offset;
using test_support::as_read;
using test_support::counting;
using test_support::failure_of;
using test_support::GenerationModel;
using test_support::kGenerations;
using test_support::ReportBuilder;

const std::string kUnsupported = "Kind(Unsupported)";
const std::string kMaskedChipId = "Custom { kind: Other, error: MaskedChipId }";
const std::string kNotZeroed = R"(Custom { kind: InvalidData, error: "Skipped bytes were expected to be zeroed." })";
const std::string kGenerationError =
    R"(Custom { kind: InvalidData, error: "processor is not of know SEV-SNP generation." })";
const std::string kModelError = R"(Custom { kind: InvalidData, error: "processor is not of know SEV-SNP model." })";

// The chip id is zero too, which only version 2 refuses.
TEST(ReportDecoderTest, MinimalMilanReportDecodesToAZeroRecord) {
  const auto result = ReportBuilder::milan(3).decode();
  ASSERT_TRUE(result.ok()) << *failure_of(result);
  AttestationReport expected;
  expected.version = 3;
  expected.cpuid_fam_id = 0x19;
  expected.cpuid_mod_id = 0x01;
  expected.cpuid_step = 0x00;
  EXPECT_EQ(result.value(), expected);  // TCB fields without fmc, mitigation vectors absent
}

// Integers are given as counting bytes, so a field read big-endian, shifted
// or taken from a neighbour's offset cannot match.
TEST(ReportDecoderTest, DecodesEveryFieldFromItsOffset) {
  ReportBuilder b = ReportBuilder::with_cpuid(5, 0x19, 0x11, 0x02);
  const auto result = b.distinct_fields(test_support::kMilanGenoaTcb).bytes(kChipId, counting<64>(0x90)).decode();
  ASSERT_TRUE(result.ok()) << *failure_of(result);
  const AttestationReport& r = result.value();
  EXPECT_EQ(r.version, 5u);
  EXPECT_EQ(r.guest_svn, 0x04030201u);
  EXPECT_EQ(r.policy, 0x0C0B0A0908070605u);
  EXPECT_EQ(r.family_id, counting<16>(0x10));
  EXPECT_EQ(r.image_id, counting<16>(0x20));
  EXPECT_EQ(r.vmpl, 0x33323130u);
  EXPECT_EQ(r.sig_algo, 0x37363534u);
  EXPECT_EQ(r.current_tcb, (TcbVersion{std::nullopt, 0x11, 0x12, 0x13, 0x44}));
  EXPECT_EQ(r.plat_info, 0x4F4E4D4C4B4A4948u);
  EXPECT_EQ(r.key_info, 0x53525150u);
  EXPECT_EQ(r.report_data, counting<64>(0x60));
  EXPECT_EQ(r.measurement, counting<48>(0xA0));
  EXPECT_EQ(r.host_data, counting<32>(0xD0));
  EXPECT_EQ(r.id_key_digest, counting<48>(0x02));
  EXPECT_EQ(r.author_key_digest, counting<48>(0x32));
  EXPECT_EQ(r.report_id, counting<32>(0x62));
  EXPECT_EQ(r.report_id_ma, counting<32>(0x82));
  EXPECT_EQ(r.reported_tcb, (TcbVersion{std::nullopt, 0x21, 0x22, 0x23, 0x44}));
  EXPECT_EQ(r.cpuid_fam_id, 0x19);
  EXPECT_EQ(r.cpuid_mod_id, 0x11);
  EXPECT_EQ(r.cpuid_step, 0x02);
  EXPECT_EQ(r.chip_id, counting<64>(0x90));
  EXPECT_EQ(r.committed_tcb, (TcbVersion{std::nullopt, 0x31, 0x32, 0x33, 0x44}));
  EXPECT_EQ(r.current, (FirmwareVersion{.major = 3, .minor = 2, .build = 1}));
  EXPECT_EQ(r.committed, (FirmwareVersion{.major = 6, .minor = 5, .build = 4}));
  EXPECT_EQ(r.launch_tcb, (TcbVersion{std::nullopt, 0x41, 0x42, 0x43, 0x44}));
  EXPECT_EQ(r.launch_mit_vector, 0xE7E6E5E4E3E2E1E0u);
  EXPECT_EQ(r.current_mit_vector, 0xEFEEEDECEBEAE9E8u);
  EXPECT_EQ(r.signature.r, counting<72>(0x11));
  EXPECT_EQ(r.signature.s, counting<72>(0x91));
}

// All four TCB fields are read in the layout of the generation: by CPUID from
// version 3, by chip id in version 2 (only the first 8 bytes set is Turin).
TEST(ReportDecoderTest, EveryTcbFieldIsReadInTheLayoutOfTheGeneration) {
  std::vector<std::pair<ReportBuilder, const GenerationModel*>> cases = {{ReportBuilder::genoa_v2(), &kGenerations[1]},
                                                                         {ReportBuilder::turin_v2(), &kGenerations[2]}};
  for (const GenerationModel& g : kGenerations) cases.emplace_back(ReportBuilder::of(g, 5), &g);
  for (auto& [builder, g] : cases) {
    SCOPED_TRACE(::testing::Message() << g->name << " v" << +builder.raw()[0]);
    const auto result = builder.distinct_fields(g->tcb).decode();
    ASSERT_TRUE(result.ok()) << *failure_of(result);
    const AttestationReport& r = result.value();
    const TcbVersion* fields[] = {&r.current_tcb, &r.reported_tcb, &r.committed_tcb, &r.launch_tcb};
    for (std::size_t i = 0; i < std::size(fields); ++i)
      EXPECT_EQ(*fields[i], as_read(g->tcb, ReportBuilder::tcb_value(i)));
  }
}

class LengthTest : public ::testing::TestWithParam<std::size_t> {};

// Whatever the bytes hold (here zeros, i.e. version 0), the length is tested first.
TEST_P(LengthTest, AnyLengthButTheReportSizeIsRefused) {
  const std::vector<std::uint8_t> bytes(GetParam(), 0);
  const auto result = AttestationReport::from_bytes(bytes);
  ASSERT_FALSE(result.ok());
  const std::string text = "expected 1184 bytes, got " + std::to_string(GetParam());
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(result.error().display_text(), text);
  EXPECT_EQ(result.error().debug_rendering(), "Custom { kind: InvalidData, error: \"" + text + "\" }");
}

INSTANTIATE_TEST_SUITE_P(ReportDecoder, LengthTest, ::testing::Values(0, 1, 100, 1183, 1185, 2368));

TEST(ReportDecoderTest, VersionBelow2IsUnsupportedEvenWhenAllElseIsValid) {
  EXPECT_EQ(failure_of(ReportBuilder().decode()), kUnsupported);
  for (std::uint32_t version : {0u, 1u}) {
    SCOPED_TRACE(version);
    EXPECT_EQ(failure_of(ReportBuilder::milan(version).bytes(kChipId, counting<64>(1)).decode()), kUnsupported);
  }
}

// Versions from 5 up use the version-5 layout and keep their own number.
TEST(ReportDecoderTest, VersionGatesSelectTheOptionalFields) {
  for (std::uint32_t version : {2u, 3u, 4u, 5u, 6u, 7u, 9u, 4294967295u}) {
    SCOPED_TRACE(version);
    ReportBuilder b = version == 2 ? ReportBuilder::genoa_v2() : ReportBuilder::with_cpuid(version, 0x19, 0x11, 0x07);
    if (version >= 5) b.bytes(kLaunchMitVector, {1, 2}).bytes(kCurrentMitVector, {3});
    const auto result = b.decode();
    ASSERT_TRUE(result.ok()) << *failure_of(result);
    const AttestationReport& r = result.value();
    EXPECT_EQ(r.version, version);
    EXPECT_EQ(r.cpuid_fam_id, version >= 3 ? std::optional<std::uint8_t>(0x19) : std::nullopt);
    EXPECT_EQ(r.cpuid_mod_id, version >= 3 ? std::optional<std::uint8_t>(0x11) : std::nullopt);
    EXPECT_EQ(r.cpuid_step, version >= 3 ? std::optional<std::uint8_t>(0x07) : std::nullopt);
    EXPECT_EQ(r.launch_mit_vector, version >= 5 ? std::optional<std::uint64_t>(0x0201) : std::nullopt);
    EXPECT_EQ(r.current_mit_vector, version >= 5 ? std::optional<std::uint64_t>(3) : std::nullopt);
  }
}

// One non-zero byte at the first and last offset of every reserved run, under
// each version's gates: the CPUID and mitigation areas are reserved exactly
// where the version has no such fields.
TEST(ReportDecoderTest, NonZeroReservedByteFails) {
  struct Case {
    ReportBuilder base;
    std::vector<std::size_t> offsets;
  };
  const Case cases[] = {
      {ReportBuilder::genoa_v2(),
       {0x04C, 0x04F, 0x188, 0x189, 0x18A, 0x18B, 0x19F, 0x1EB, 0x1EF, 0x1F8, 0x200, 0x207, 0x208, 0x29F}},
      {ReportBuilder::milan(3), {0x04C, 0x04F, 0x18B, 0x19F, 0x1EB, 0x1EF, 0x1F8, 0x200, 0x207, 0x208, 0x29F}},
      {ReportBuilder::genoa(4), {0x04C, 0x18B, 0x1EB, 0x1EF, 0x1F8, 0x29F}},
      {ReportBuilder::turin(5), {0x04C, 0x04F, 0x18B, 0x19F, 0x1EB, 0x1EF, 0x208, 0x29F}},
      {ReportBuilder::genoa(7), {0x04C, 0x1EB, 0x208, 0x29F}},
  };
  for (const Case& c : cases) {
    for (std::size_t at : c.offsets) {
      SCOPED_TRACE(::testing::Message() << "version " << +c.base.raw()[0] << " offset 0x" << std::hex << at);
      ReportBuilder b = c.base;
      EXPECT_EQ(failure_of(b.u8(at, 0x01).decode()), kNotZeroed);
    }
  }
}

// TCB reserved bytes and the 368 bytes after the signature are not tested
// and leave no trace in the record.
TEST(ReportDecoderTest, IgnoredBytesDoNotChangeTheRecord) {
  std::vector<std::pair<ReportBuilder, const GenerationModel*>> cases = {{ReportBuilder::turin_v2(), &kGenerations[2]}};
  for (const GenerationModel& g : kGenerations) cases.emplace_back(ReportBuilder::of(g, 5), &g);
  for (const auto& [clean, g] : cases) {
    SCOPED_TRACE(g->name);
    ReportBuilder noisy = clean;
    for (std::size_t field : kTcbFields)
      for (std::size_t i : g->tcb.reserved) noisy.u8(field + i, static_cast<std::uint8_t>(0xA0 + i));
    for (std::size_t at = kTail; at < kReportSize; ++at) noisy.u8(at, 0xFF);
    const auto decoded = noisy.decode();
    ASSERT_TRUE(decoded.ok()) << *failure_of(decoded);
    EXPECT_EQ(decoded.value(), clean.decode().value());
  }
}

// Version, then generation, then the reserved runs (the length test comes
// before all of them, see LengthTest).
TEST(ReportDecoderTest, FirstFaultInPrecedenceOrderWins) {
  const std::pair<ReportBuilder, std::string> cases[] = {
      {ReportBuilder::with_cpuid(1, 0x17, 0x00).u8(0x04C, 1), kUnsupported},
      {ReportBuilder().u32(kVersion, 2).bytes(kCpuid, {0x19, 0x01}).u8(0x04C, 1), kMaskedChipId},
      {ReportBuilder::with_cpuid(3, 0x17, 0x01).u8(0x04C, 1).u8(0x1EB, 1), kGenerationError},
      {ReportBuilder::with_cpuid(3, 0x19, 0xB0).u8(0x04C, 1), kModelError},
      {ReportBuilder::with_cpuid(5, 0x1A, 0x12).u8(0x208, 1), kModelError},
      {ReportBuilder::with_cpuid(3, 0x18, 0x20).bytes(kChipId, counting<64>(1)), kGenerationError},
  };
  for (const auto& [builder, expected] : cases) EXPECT_EQ(failure_of(builder.decode()), expected);
}

}  // namespace
}  // namespace quorvel
