#include "codec/codec_error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorvel {
namespace {

struct Rendering {
  const char* name;
  CodecError error;
  ErrorKind kind;
  std::string debug;
  std::string display;
};

// The debug rendering is the text Python callers read, so every form is
// compared byte for byte.
TEST(CodecErrorTest, EachFormRendersItsKindAndPayload) {
  const Rendering cases[] = {
      {"kind only, Unsupported", CodecError::from_kind(ErrorKind::Unsupported), ErrorKind::Unsupported,
       "Kind(Unsupported)", "unsupported"},
      {"kind only, InvalidData", CodecError::from_kind(ErrorKind::InvalidData), ErrorKind::InvalidData,
       "Kind(InvalidData)", "invalid data"},
      {"kind only, UnexpectedEof", CodecError::from_kind(ErrorKind::UnexpectedEof), ErrorKind::UnexpectedEof,
       "Kind(UnexpectedEof)", "unexpected end of file"},
      {"kind only, Other", CodecError::from_kind(ErrorKind::Other), ErrorKind::Other, "Kind(Other)", "other error"},
      {"end of input", CodecError::end_of_input(), ErrorKind::UnexpectedEof,
       R"(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })", "failed to fill whole buffer"},
      {"zero skip", CodecError::not_zeroed(), ErrorKind::InvalidData,
       R"(Custom { kind: InvalidData, error: "Skipped bytes were expected to be zeroed." })",
       "Skipped bytes were expected to be zeroed."},
      {"owned text", CodecError::with_text(ErrorKind::InvalidData, "expected 1184 bytes, got 100"),
       ErrorKind::InvalidData, R"(Custom { kind: InvalidData, error: "expected 1184 bytes, got 100" })",
       "expected 1184 bytes, got 100"},
      {"owned text, Unsupported",
       CodecError::with_text(ErrorKind::Unsupported, "Unsupported Processor Generation for TCB writing"),
       ErrorKind::Unsupported,
       R"(Custom { kind: Unsupported, error: "Unsupported Processor Generation for TCB writing" })",
       "Unsupported Processor Generation for TCB writing"},
      {"report error", CodecError::from_report(ReportError::MaskedChipId), ErrorKind::Other,
       "Custom { kind: Other, error: MaskedChipId }",
       "MASK_CHIP_ID is enabled, preventing the identification of the CPU generation."},
  };
  for (const Rendering& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.debug_rendering(), c.debug);
    EXPECT_EQ(c.error.display_text(), c.display);
  }
}

// A fixed message and an owned text with the same kind and words are still
// different forms, and render differently.
TEST(CodecErrorTest, OwnedTextIsNotTheFixedMessageForm) {
  const CodecError owned = CodecError::with_text(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
  EXPECT_EQ(owned.debug_rendering(), R"(Custom { kind: UnexpectedEof, error: "failed to fill whole buffer" })");
  EXPECT_NE(owned, CodecError::end_of_input());
  EXPECT_EQ(CodecError::end_of_input(), CodecError::end_of_input());
}

TEST(CodecErrorTest, QuotedTextEscapesQuotesAndBackslashes) {
  const CodecError error = CodecError::with_text(ErrorKind::Other, R"(a "b" \c)");
  EXPECT_EQ(error.debug_rendering(), R"(Custom { kind: Other, error: "a \"b\" \\c" })");
  EXPECT_EQ(error.display_text(), R"(a "b" \c)");
}

TEST(CodecErrorTest, OwnedTextIsCopied) {
  std::string text = "expected 1184 bytes, got 0";
  const CodecError error = CodecError::with_text(ErrorKind::InvalidData, text);
  text.assign(text.size(), 'x');
  EXPECT_EQ(error.display_text(), "expected 1184 bytes, got 0");
}

}  // namespace
}  // namespace quorvel
