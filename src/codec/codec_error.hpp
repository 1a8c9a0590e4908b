#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "codec/result.hpp"

namespace quorvel {

// What went wrong, at the coarsest grain. The kind name appears in the debug
// rendering; the description is the display text of an error with no payload.
enum class ErrorKind : std::uint8_t { InvalidData, Unsupported, UnexpectedEof, Other };

std::string_view kind_name(ErrorKind kind) noexcept;
std::string_view kind_description(ErrorKind kind) noexcept;

// Report-specific failures, carried inside a CodecError of kind Other.
enum class ReportError : std::uint8_t { MaskedChipId };

std::string_view report_error_name(ReportError error) noexcept;
std::string_view report_error_text(ReportError error) noexcept;

// The single error value of the codec: a kind and one of four payloads.
// The debug rendering is what Python callers finally read, so its format is
// part of the module's contract, down to the spaces and quotes.
class CodecError {
 public:
  static CodecError from_kind(ErrorKind kind) noexcept;
  static CodecError with_text(ErrorKind kind, std::string_view text);
  static CodecError from_report(ReportError error) noexcept;
  // The shared end-of-input error; costs no allocation.
  static CodecError end_of_input() noexcept;
  // The error of a reserved run that holds a non-zero byte.
  static CodecError not_zeroed();

  ErrorKind kind() const noexcept { return kind_; }
  std::string display_text() const;
  std::string debug_rendering() const;

  friend bool operator==(const CodecError&, const CodecError&) = default;

 private:
  // A constant text shared by every error of its form.
  struct FixedMessage {
    std::string_view text;
    friend bool operator==(const FixedMessage&, const FixedMessage&) = default;
  };
  using Payload = std::variant<std::monostate, FixedMessage, std::string, ReportError>;

  CodecError(ErrorKind kind, Payload payload) noexcept : kind_(kind), payload_(std::move(payload)) {}

  ErrorKind kind_;
  Payload payload_;
};

template <typename T>
using CodecResult = Result<T, CodecError>;

}  // namespace quorvel
