#include "codec/tcb_version.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvel {
namespace {

using Gen = ProcessorGeneration;
using Bytes = std::vector<std::uint8_t>;

// A value outside the three members, which the rule itself never yields.
const ProcessorGeneration kUnknown = static_cast<Gen::Value>(3);

TcbVersion tcb(std::optional<std::uint8_t> fmc, std::uint8_t bootloader, std::uint8_t tee, std::uint8_t snp,
               std::uint8_t microcode) {
  return TcbVersion{fmc, bootloader, tee, snp, microcode};
}

// Two fields back to back, each with junk in its reserved bytes, read at a
// non-zero start so that the reader must honour the cursor position.
TEST(TcbVersionTest, ReadsTheMilanGenoaLayoutIgnoringReservedBytes) {
  const Bytes data = {0xEE, 0x01, 0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0x03, 0x04,
                      0x11, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x14};
  for (Gen generation : {Gen::Milan, Gen::Genoa}) {
    SCOPED_TRACE(generation.value());
    ByteCursor cursor(data);
    ASSERT_TRUE(cursor.read_u8().ok());
    EXPECT_EQ(TcbVersion::from_bytes(cursor, generation).value(), tcb(std::nullopt, 1, 2, 3, 4));
    EXPECT_EQ(cursor.position(), 9u);
    EXPECT_EQ(TcbVersion::from_bytes(cursor, generation).value(), tcb(std::nullopt, 0x11, 0x12, 0x13, 0x14));
    EXPECT_EQ(cursor.position(), 17u);
  }
}

TEST(TcbVersionTest, ReadsTheTurinLayoutWithFmc) {
  const Bytes data = {0x05, 0x01, 0x02, 0x03, 0xAA, 0xBB, 0xCC, 0x04, 0x00, 0x21, 0x22, 0x23, 0, 0, 0, 0x24};
  ByteCursor cursor(data);
  EXPECT_EQ(TcbVersion::from_bytes(cursor, Gen::Turin).value(), tcb(5, 1, 2, 3, 4));
  EXPECT_EQ(TcbVersion::from_bytes(cursor, Gen::Turin).value(), tcb(0, 0x21, 0x22, 0x23, 0x24));
  EXPECT_EQ(cursor.position(), 16u);
}

TEST(TcbVersionTest, ReadWithSevenBytesLeftFailsAtTheEnd) {
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  for (Gen generation : {Gen::Milan, Gen::Genoa, Gen::Turin}) {
    SCOPED_TRACE(generation.value());
    ByteCursor cursor(data);
    ASSERT_TRUE(cursor.read_array<2>().ok());
    const auto result = TcbVersion::from_bytes(cursor, generation);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), CodecError::end_of_input());
    EXPECT_EQ(cursor.position(), 9u);
  }
}

// The generation is tested before the length, and a refused read leaves the
// cursor where it was.
TEST(TcbVersionTest, ReadUnderAnUnknownGenerationFailsWithoutMoving) {
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  for (std::size_t start : {1, 5, 10}) {
    SCOPED_TRACE(start);
    ByteCursor cursor{std::span(data).first(start + (start == 10 ? 0 : 8))};
    for (std::size_t i = 0; i < start; ++i) ASSERT_TRUE(cursor.read_u8().ok());
    const auto result = TcbVersion::from_bytes(cursor, kUnknown);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ErrorKind::Unsupported);
    EXPECT_EQ(result.error().debug_rendering(),
              R"(Custom { kind: Unsupported, error: "Unsupported Processor Generation for TCB parsing" })");
    EXPECT_EQ(cursor.position(), start);
  }
}

TEST(TcbVersionTest, WritesEachLayoutWithZeroReservedBytes) {
  struct Case {
    Gen generation;
    TcbVersion value;
    Bytes expected;
  };
  const Case cases[] = {
      {Gen::Milan, tcb(std::nullopt, 1, 2, 3, 4), {1, 2, 0, 0, 0, 0, 3, 4}},
      {Gen::Milan, tcb(9, 1, 2, 3, 4), {1, 2, 0, 0, 0, 0, 3, 4}},  // fmc dropped
      {Gen::Genoa, tcb(9, 0x11, 0x12, 0x13, 0x14), {0x11, 0x12, 0, 0, 0, 0, 0x13, 0x14}},
      {Gen::Turin, tcb(5, 1, 2, 3, 4), {5, 1, 2, 3, 0, 0, 0, 4}},
      {Gen::Turin, tcb(std::nullopt, 1, 2, 3, 4), {0, 1, 2, 3, 0, 0, 0, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.generation.value());
    Bytes out = {0xEE};
    ASSERT_TRUE(c.value.write_bytes(out, c.generation).ok());
    Bytes expected = {0xEE};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(out, expected);
  }
}

TEST(TcbVersionTest, WriteUnderAnUnknownGenerationAppendsNothing) {
  Bytes out = {0xEE, 0xEF};
  const auto result = tcb(5, 1, 2, 3, 4).write_bytes(out, kUnknown);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::Unsupported);
  EXPECT_EQ(result.error().debug_rendering(),
            R"(Custom { kind: Unsupported, error: "Unsupported Processor Generation for TCB writing" })");
  EXPECT_EQ(out, (Bytes{0xEE, 0xEF}));
}

}  // namespace
}  // namespace quorvel
