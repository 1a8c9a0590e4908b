#include "codec/byte_cursor.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/byte_writer.hpp"
#include "report_builder.hpp"

namespace quorvel {
namespace {

using test_support::counting;
using test_support::failure_of;

const std::string kEndOfInput = R"(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })";
const std::string kNotZeroed = R"(Custom { kind: InvalidData, error: "Skipped bytes were expected to be zeroed." })";

TEST(ByteCursorTest, ReadsAreLittleEndianAndAdvanceByTheirSize) {
  const auto data = counting<16>(1);
  ByteCursor cursor(data);
  EXPECT_EQ(cursor.read_u8().value(), 0x01);
  EXPECT_EQ(cursor.position(), 1u);
  EXPECT_EQ(cursor.read_u32().value(), 0x05040302u);
  EXPECT_EQ(cursor.position(), 5u);
  EXPECT_EQ(cursor.read_u64().value(), 0x0D0C0B0A09080706u);
  EXPECT_EQ(cursor.position(), 13u);
  EXPECT_EQ((cursor.read_array<3>().value()), (std::array<std::uint8_t, 3>{14, 15, 16}));
  EXPECT_EQ(cursor.position(), 16u);
}

TEST(ByteCursorTest, ReadOfTheLastBytesSucceedsAndTheNextFails) {
  const auto data = counting<10>(1);
  ByteCursor cursor(data);
  ASSERT_TRUE(cursor.read_u32().ok());
  ASSERT_TRUE(cursor.read_u8().ok());
  ASSERT_TRUE(cursor.read_u8().ok());
  EXPECT_EQ(cursor.read_u32().value(), 0x0A090807u);
  EXPECT_EQ(cursor.position(), 10u);
  EXPECT_EQ(failure_of(cursor.read_u8()), kEndOfInput);
  EXPECT_EQ(cursor.position(), 10u);
}

struct ReadOp {
  const char* name;
  std::size_t size;
  std::function<std::optional<std::string>(ByteCursor&)> run;
};

const ReadOp kReadOps[] = {
    {"read_u8", 1, [](ByteCursor& c) { return failure_of(c.read_u8()); }},
    {"read_u32", 4, [](ByteCursor& c) { return failure_of(c.read_u32()); }},
    {"read_u64", 8, [](ByteCursor& c) { return failure_of(c.read_u64()); }},
    {"read_array<16>", 16, [](ByteCursor& c) { return failure_of(c.read_array<16>()); }},
    {"read_array<72>", 72, [](ByteCursor& c) { return failure_of(c.read_array<72>()); }},
};

// Each read is tried at position 3 with no bytes left, one byte short, and
// exactly enough; a short read must not consume the bytes piecemeal but jump
// to the end, and stay there when repeated.
TEST(ByteCursorTest, ShortReadFailsWithEndOfInputAndMovesToTheEnd) {
  const auto data = counting<100>(1);
  for (const ReadOp& op : kReadOps) {
    for (std::size_t available : {std::size_t{0}, op.size - 1, op.size}) {
      SCOPED_TRACE(std::string(op.name) + " with " + std::to_string(available) + " bytes left");
      ByteCursor cursor{std::span(data).first(3 + available)};
      ASSERT_TRUE(cursor.read_array<3>().ok());
      if (available == op.size) {
        EXPECT_EQ(op.run(cursor), std::nullopt);
        EXPECT_EQ(cursor.position(), 3 + available);
        continue;
      }
      EXPECT_EQ(op.run(cursor), kEndOfInput);
      EXPECT_EQ(cursor.position(), 3 + available);
      EXPECT_EQ(op.run(cursor), kEndOfInput);
      EXPECT_EQ(cursor.position(), 3 + available);
    }
  }
}

// For every run length the report uses: a zero run is passed over, and a
// non-zero byte anywhere in the run fails it with the cursor left past the
// run, so that the next read starts after it.
TEST(ByteCursorTest, SkipZeroedTestsEveryByteOfTheRun) {
  for (std::size_t n : {1, 4, 21, 24, 152, 168}) {
    std::vector<std::uint8_t> data(n + 1, 0);
    data[n] = 0x5A;
    ByteCursor zero_run(data);
    EXPECT_TRUE(zero_run.skip_zeroed(n).ok()) << n;
    EXPECT_EQ(zero_run.read_u8().value(), 0x5A);
    for (std::size_t at = 0; at < n; ++at) {
      SCOPED_TRACE(::testing::Message() << "run of " << n << ", byte " << at);
      data[at] = 0x80;
      ByteCursor cursor(data);
      EXPECT_EQ(failure_of(cursor.skip_zeroed(n)), kNotZeroed);
      EXPECT_EQ(cursor.position(), n);
      EXPECT_EQ(cursor.read_u8().value(), 0x5A);
      data[at] = 0;
    }
  }
}

// End of input wins over the zero test: a short run is never inspected.
TEST(ByteCursorTest, ShortSkipFailsWithEndOfInputWhateverTheBytesHold) {
  std::array<std::uint8_t, 167> data;
  data.fill(0xFF);
  ByteCursor cursor(data);
  EXPECT_EQ(failure_of(cursor.skip_zeroed(168)), kEndOfInput);
  EXPECT_EQ(cursor.position(), 167u);
}

TEST(ByteCursorTest, SkipZeroedAtTheLastByteAndAtTheEnd) {
  const std::array<std::uint8_t, 3> data = {7, 8, 0};
  ByteCursor cursor(data);
  ASSERT_TRUE(cursor.read_array<2>().ok());
  EXPECT_TRUE(cursor.skip_zeroed(1).ok());
  EXPECT_EQ(cursor.position(), 3u);
  EXPECT_EQ(failure_of(cursor.skip_zeroed(1)), kEndOfInput);
  EXPECT_EQ(cursor.position(), 3u);
}

// The writer counts every byte it is asked for, as a vector's size would, but
// stores only those that fit; the storage past a write is left alone.
TEST(ByteWriterTest, WritesLittleEndianAndCountsPastTheEnd) {
  std::array<std::uint8_t, 8> storage{};
  ByteWriter writer{std::span(storage).first(6)};
  writer.put_le(std::uint32_t{0x04030201});
  writer.put_array(std::array<std::uint8_t, 2>{5, 6});
  EXPECT_EQ(writer.length(), 6u);
  writer.put_le(std::uint8_t{7});
  writer.put_zeros(3);
  EXPECT_EQ(writer.length(), 10u);
  EXPECT_EQ(storage, (std::array<std::uint8_t, 8>{1, 2, 3, 4, 5, 6, 0, 0}));
}

}  // namespace
}  // namespace quorvel
