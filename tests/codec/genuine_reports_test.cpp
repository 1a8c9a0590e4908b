// Reports taken from real hardware (see tests/data/reports/SOURCES.md).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "codec/attestation_report.hpp"
#include "report_builder.hpp"

namespace quorvel {
namespace {

using test_support::failure_of;
using Gen = ProcessorGeneration;

std::vector<std::uint8_t> load(const std::string& name) {
  std::ifstream in(std::string(QUORVEL_TEST_REPORTS_DIR) + "/" + name + ".bin", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

constexpr std::nullopt_t kNone = std::nullopt;

struct Genuine {
  const char* name;
  std::uint32_t version;
  Gen::Value generation;
  std::optional<std::array<std::uint8_t, 3>> cpuid;  // family, model, stepping
  TcbVersion tcb;                                    // all four TCB fields hold this value
  FirmwareVersion firmware;                          // current and committed alike
  std::uint64_t policy;
  std::uint64_t plat_info;
  std::optional<std::uint64_t> mit_vector;  // launch and current alike
};

// A version-2 report carries no CPUID, and its chip id cannot tell Milan from
// Genoa; both share one TCB layout, so the Milan report reads as Genoa.
const Genuine kGenuine[] = {
    {"milan-v2-gosevguest", 2, Gen::Genoa, kNone, {kNone, 2, 0, 5, 0x44}, {1, 49, 3}, 0xB0000, 0x01, kNone},
    {"milan-v3-azure", 3, Gen::Milan, {{0x19, 1, 1}}, {kNone, 4, 0, 0x18, 0xDB}, {1, 55, 29}, 0x3001F, 0x25, kNone},
    {"milan-v3-oak", 3, Gen::Milan, {{0x19, 1, 1}}, {kNone, 4, 0, 0x18, 0xDB}, {1, 55, 29}, 0x30000, 0x25, kNone},
    {"genoa-v2-oak", 2, Gen::Genoa, kNone, {kNone, 7, 0, 15, 0x3E}, {1, 55, 24}, 0x30000, 0x01, kNone},
    {"genoa-v3-azure", 3, Gen::Genoa, {{0x19, 0x11, 1}}, {kNone, 10, 0, 0x17, 0x54}, {1, 55, 40}, 0x3001F, 0x24, kNone},
    {"genoa-v5-oak", 5, Gen::Genoa, {{0x19, 0x11, 1}}, {kNone, 10, 0, 0x19, 0x54}, {1, 55, 43}, 0x30000, 0x25, 1},
    {"genoa-v5-routex", 5, Gen::Genoa, {{0x19, 0x11, 1}}, {kNone, 10, 0, 0x1B, 0x58}, {1, 55, 49}, 0x30000, 0x25, 0x0B},
    {"turin-v5-oak", 5, Gen::Turin, {{0x1A, 0x02, 1}}, {0, 1, 0, 2, 0x47}, {1, 55, 61}, 0x30000, 0x67, 0},
};

void PrintTo(const Genuine& genuine, std::ostream* out) { *out << genuine.name; }

class GenuineReportTest : public ::testing::TestWithParam<Genuine> {};

TEST_P(GenuineReportTest, DecodesToTheKnownFields) {
  const Genuine& g = GetParam();
  const auto bytes = load(g.name);
  ASSERT_EQ(bytes.size(), kReportSize);
  const auto decoded = AttestationReport::from_bytes(bytes);
  ASSERT_TRUE(decoded.ok()) << *failure_of(decoded);
  const AttestationReport& r = decoded.value();
  EXPECT_EQ(r.version, g.version);
  EXPECT_EQ(r.generation().value(), g.generation);
  EXPECT_EQ(r.policy, g.policy);
  EXPECT_EQ(r.plat_info, g.plat_info);
  EXPECT_EQ(r.cpuid_fam_id.has_value(), g.cpuid.has_value());
  if (g.cpuid) {
    EXPECT_EQ(r.cpuid_fam_id, (*g.cpuid)[0]);
    EXPECT_EQ(r.cpuid_mod_id, (*g.cpuid)[1]);
    EXPECT_EQ(r.cpuid_step, (*g.cpuid)[2]);
  }
  for (const TcbVersion& tcb : {r.current_tcb, r.reported_tcb, r.committed_tcb, r.launch_tcb}) EXPECT_EQ(tcb, g.tcb);
  EXPECT_EQ(r.current, g.firmware);
  EXPECT_EQ(r.committed, g.firmware);
  EXPECT_EQ(r.launch_mit_vector, g.mit_vector);
  EXPECT_EQ(r.current_mit_vector, g.mit_vector);
}

// Every reserved byte of these reports is zero, so the encoding, and with it
// the signed region, is the input itself.
TEST_P(GenuineReportTest, ReencodesToItsOwnBytes) {
  const auto bytes = load(GetParam().name);
  const auto decoded = AttestationReport::from_bytes(bytes);
  ASSERT_TRUE(decoded.ok()) << *failure_of(decoded);
  const auto encoded = decoded.value().to_bytes();
  ASSERT_TRUE(encoded.ok()) << *failure_of(encoded);
  EXPECT_TRUE(std::equal(encoded.value().begin(), encoded.value().end(), bytes.begin(), bytes.end()));
}

INSTANTIATE_TEST_SUITE_P(Reports, GenuineReportTest, ::testing::ValuesIn(kGenuine),
                         [](const ::testing::TestParamInfo<Genuine>& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(GenuineReportEditTest, MaskingTheChipIdOfAVersion2ReportFails) {
  auto bytes = load("genoa-v2-oak");
  std::fill_n(bytes.begin() + test_support::offset::kChipId, 64, 0);
  EXPECT_EQ(failure_of(AttestationReport::from_bytes(bytes)), "Custom { kind: Other, error: MaskedChipId }");
}

}  // namespace
}  // namespace quorvel
