#include "codec/processor_generation.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <variant>

namespace quorvel {
namespace {

using Gen = ProcessorGeneration;
using ChipId = std::array<std::uint8_t, 64>;

const std::string kModelError = R"(Custom { kind: InvalidData, error: "processor is not of know SEV-SNP model." })";
const std::string kGenerationError =
    R"(Custom { kind: InvalidData, error: "processor is not of know SEV-SNP generation." })";
const std::string kMaskedChipId = "Custom { kind: Other, error: MaskedChipId }";

// Either the generation or the debug rendering of the error, so that one
// table can hold both outcomes.
using Outcome = std::variant<Gen::Value, std::string>;

Outcome outcome_of(const CodecResult<ProcessorGeneration>& result) {
  if (result.ok()) return result.value().value();
  return result.error().debug_rendering();
}

ChipId chip_with(std::initializer_list<std::size_t> nonzero_bytes) {
  ChipId chip{};
  for (std::size_t i : nonzero_bytes) chip[i] = static_cast<std::uint8_t>(0x10 + i);
  return chip;
}

TEST(FromCpuidTest, MapsFamilyAndModelAtEveryBoundary) {
  const std::tuple<std::uint8_t, std::uint8_t, Outcome> cases[] = {
      {0x19, 0x00, Gen::Milan},       {0x19, 0x0F, Gen::Milan},       {0x19, 0x10, Gen::Genoa},
      {0x19, 0x1F, Gen::Genoa},       {0x19, 0xA0, Gen::Genoa},       {0x19, 0xAF, Gen::Genoa},
      {0x19, 0x20, kModelError},      {0x19, 0x9F, kModelError},      {0x19, 0xB0, kModelError},
      {0x19, 0xFF, kModelError},      {0x1A, 0x00, Gen::Turin},       {0x1A, 0x11, Gen::Turin},
      {0x1A, 0x12, kModelError},      {0x1A, 0xA0, kModelError},      {0x17, 0x01, kGenerationError},
      {0x17, 0x11, kGenerationError}, {0x18, 0x00, kGenerationError}, {0x1B, 0x00, kGenerationError},
      {0x00, 0x00, kGenerationError}, {0xFF, 0xA0, kGenerationError},
  };
  for (const auto& [family, model, expected] : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "family " << +family << ", model " << +model);
    EXPECT_EQ(outcome_of(Gen::from_cpuid(family, model)), expected);
  }
}

TEST(FromChipIdTest, ZeroChipIdIsMaskedAndAnythingPastByte7MeansGenoa) {
  const std::pair<ChipId, Outcome> cases[] = {
      {ChipId{}, kMaskedChipId},       {chip_with({0}), Gen::Turin},
      {chip_with({7}), Gen::Turin},    {chip_with({0, 1, 2, 3, 4, 5, 6, 7}), Gen::Turin},
      {chip_with({8}), Gen::Genoa},    {chip_with({63}), Gen::Genoa},
      {chip_with({0, 8}), Gen::Genoa},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(outcome_of(Gen::from_chip_id(cases[i].first)), cases[i].second);
  }
  EXPECT_EQ(Gen::from_chip_id(ChipId{}).error().kind(), ErrorKind::Other);
}

// Version 2 looks at the chip id only and never yields Milan; every later
// version looks at the CPUID bytes only, however high the version.
TEST(ForReportTest, VersionSelectsTheInputsOfTheRule) {
  struct Case {
    std::uint32_t version;
    ChipId chip;
    std::uint8_t family;
    std::uint8_t model;
    Outcome expected;
  };
  const Case cases[] = {
      {2, chip_with({8}), 0x19, 0x01, Gen::Genoa},
      {2, chip_with({0}), 0x19, 0x01, Gen::Turin},
      {2, chip_with({8}), 0x17, 0x00, Gen::Genoa},
      {2, ChipId{}, 0x19, 0x01, kMaskedChipId},
      {3, ChipId{}, 0x19, 0x01, Gen::Milan},
      {3, chip_with({0}), 0x19, 0x11, Gen::Genoa},
      {3, ChipId{}, 0x17, 0x01, kGenerationError},
      {4, chip_with({8}), 0x1A, 0x11, Gen::Turin},
      {5, chip_with({8}), 0x19, 0x01, Gen::Milan},
      {7, chip_with({8}), 0x19, 0x01, Gen::Milan},
      {4294967295u, chip_with({0}), 0x19, 0x20, kModelError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    EXPECT_EQ(outcome_of(Gen::for_report(c.version, c.chip, c.family, c.model)), c.expected);
  }
}

}  // namespace
}  // namespace quorvel
