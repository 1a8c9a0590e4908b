#include "codec/tcb_version.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "report_builder.hpp"

namespace quorvel {
namespace {

using Gen = ProcessorGeneration;
using Bytes = std::vector<std::uint8_t>;
using Field = std::array<std::uint8_t, 8>;
using test_support::as_read;
using test_support::GenerationModel;
using test_support::kGenerations;
using test_support::tcb_field;

// A value far past the enumerators, which the rule itself never yields.
const ProcessorGeneration kUnknown = static_cast<Gen::Value>(0xFF);

// Two fields back to back, each with junk in its reserved bytes, read at a
// non-zero start so that the reader must honour the cursor position; each
// value written back has zero reserved bytes and loses an fmc that the layout
// has no room for.
TEST(TcbVersionTest, ReadsAndWritesTheLayoutOfEachGeneration) {
  const TcbVersion first{5, 1, 2, 3, 4};
  const TcbVersion second{std::nullopt, 0x11, 0x12, 0x13, 0x14};
  for (const GenerationModel& g : kGenerations) {
    SCOPED_TRACE(g.name);
    std::array<std::uint8_t, 17> data{0xEE};
    const Field fields[] = {tcb_field(g.tcb, first, 0xAA), tcb_field(g.tcb, second, 0xFF)};
    std::memcpy(&data[1], fields, sizeof fields);
    ByteCursor cursor(data);
    ASSERT_TRUE(cursor.read_u8().ok());
    EXPECT_EQ(TcbVersion::from_bytes(cursor, g.generation).value(), as_read(g.tcb, first));
    EXPECT_EQ(cursor.position(), 9u);
    EXPECT_EQ(TcbVersion::from_bytes(cursor, g.generation).value(), as_read(g.tcb, second));
    EXPECT_EQ(cursor.position(), 17u);

    for (const TcbVersion& value : {first, second}) {
      Field out{};
      ByteWriter writer(out);
      ASSERT_TRUE(value.write_bytes(writer, g.generation).ok());
      EXPECT_EQ(writer.length(), 8u);
      EXPECT_EQ(out, tcb_field(g.tcb, value));
    }
  }
}

// The examples of the two layouts, written out byte for byte.
TEST(TcbVersionTest, KnownFieldsReadAndWriteBack) {
  struct Case {
    Gen generation;
    Field input;
    TcbVersion value;
    Field written;
  };
  const Case cases[] = {
      {Gen::Milan, {1, 2, 0xAA, 0xBB, 0xCC, 0xDD, 3, 4}, {std::nullopt, 1, 2, 3, 4}, {1, 2, 0, 0, 0, 0, 3, 4}},
      {Gen::Genoa, {1, 2, 0xAA, 0xBB, 0xCC, 0xDD, 3, 4}, {std::nullopt, 1, 2, 3, 4}, {1, 2, 0, 0, 0, 0, 3, 4}},
      {Gen::Turin, {5, 1, 2, 3, 0xAA, 0xBB, 0xCC, 4}, {5, 1, 2, 3, 4}, {5, 1, 2, 3, 0, 0, 0, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.generation.value());
    ByteCursor cursor(c.input);
    const TcbVersion read = TcbVersion::from_bytes(cursor, c.generation).value();
    EXPECT_EQ(read, c.value);
    Field out{};
    ByteWriter writer(out);
    ASSERT_TRUE(read.write_bytes(writer, c.generation).ok());
    EXPECT_EQ(out, c.written);
  }
}

TEST(TcbVersionTest, ReadWithSevenBytesLeftFailsAtTheEnd) {
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  for (const GenerationModel& g : kGenerations) {
    SCOPED_TRACE(g.name);
    ByteCursor cursor(data);
    ASSERT_TRUE(cursor.read_array<2>().ok());
    const auto result = TcbVersion::from_bytes(cursor, g.generation);
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

TEST(TcbVersionTest, WriteUnderAnUnknownGenerationWritesNothing) {
  Field out{};
  ByteWriter writer(out);
  const auto result = TcbVersion{5, 1, 2, 3, 4}.write_bytes(writer, kUnknown);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::Unsupported);
  EXPECT_EQ(result.error().debug_rendering(),
            R"(Custom { kind: Unsupported, error: "Unsupported Processor Generation for TCB writing" })");
  EXPECT_EQ(writer.length(), 0u);
  EXPECT_EQ(out, Field{});
}

}  // namespace
}  // namespace quorvel
