#include "codec/codec_error.hpp"

#include <iterator>

namespace quorvel {
namespace {

constexpr std::string_view kEndOfInputMessage = "failed to fill whole buffer";
constexpr std::string_view kNotZeroedMessage = "Skipped bytes were expected to be zeroed.";

// Appends `text` between double quotes, escaping what would make the quoted
// text ambiguous: quotes, backslashes and control characters.
void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          constexpr std::string_view kHexDigits = "0123456789abcdef";
          out += "\\u{";
          if (byte >= 0x10) out.push_back(kHexDigits[byte >> 4]);
          out.push_back(kHexDigits[byte & 0xF]);
          out.push_back('}');
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

// A visitor made of one lambda per alternative.
template <typename... Cases>
struct Overloaded : Cases... {
  using Cases::operator()...;
};
template <typename... Cases>
Overloaded(Cases...) -> Overloaded<Cases...>;  // clang 14 does not deduce aggregates

// Name and description of each kind, in the order of the enumeration.
struct KindTexts {
  std::string_view name;
  std::string_view description;
};
constexpr KindTexts kKindTexts[] = {
    {"InvalidData", "invalid data"},
    {"Unsupported", "unsupported"},
    {"UnexpectedEof", "unexpected end of file"},
    {"Other", "other error"},
};
static_assert(std::size(kKindTexts) == static_cast<std::size_t>(ErrorKind::Other) + 1);

}  // namespace

std::string_view kind_name(ErrorKind kind) noexcept { return kKindTexts[static_cast<std::size_t>(kind)].name; }

std::string_view kind_description(ErrorKind kind) noexcept {
  return kKindTexts[static_cast<std::size_t>(kind)].description;
}

std::string_view report_error_name(ReportError error) noexcept {
  switch (error) {
    case ReportError::MaskedChipId: return "MaskedChipId";
  }
  return "MaskedChipId";
}

std::string_view report_error_text(ReportError error) noexcept {
  switch (error) {
    case ReportError::MaskedChipId:
      return "MASK_CHIP_ID is enabled, preventing the identification of the CPU generation.";
  }
  return "";
}

CodecError CodecError::from_kind(ErrorKind kind) noexcept { return CodecError(kind, std::monostate{}); }

CodecError CodecError::with_text(ErrorKind kind, std::string_view text) { return CodecError(kind, std::string(text)); }

CodecError CodecError::from_report(ReportError error) noexcept { return CodecError(ErrorKind::Other, error); }

CodecError CodecError::end_of_input() noexcept {
  return CodecError(ErrorKind::UnexpectedEof, FixedMessage{kEndOfInputMessage});
}

CodecError CodecError::not_zeroed() { return with_text(ErrorKind::InvalidData, kNotZeroedMessage); }

std::string CodecError::display_text() const {
  return std::visit(Overloaded{
                        [&](std::monostate) { return std::string(kind_description(kind_)); },
                        [](const FixedMessage& message) { return std::string(message.text); },
                        [](const std::string& text) { return text; },
                        [](ReportError error) { return std::string(report_error_text(error)); },
                    },
                    payload_);
}

std::string CodecError::debug_rendering() const {
  std::string out;
  // "Form { kind: Kind, field: " (the payload and " }" follow).
  const auto open = [&](std::string_view form, std::string_view field) {
    out += form;
    out += " { kind: ";
    out += kind_name(kind_);
    out += ", ";
    out += field;
    out += ": ";
  };
  std::visit(Overloaded{
                 [&](std::monostate) {
                   out += "Kind(";
                   out += kind_name(kind_);
                   out += ")";
                 },
                 [&](const FixedMessage& message) {
                   open("Error", "message");
                   append_quoted(out, message.text);
                   out += " }";
                 },
                 [&](const std::string& text) {
                   open("Custom", "error");
                   append_quoted(out, text);
                   out += " }";
                 },
                 [&](ReportError error) {
                   open("Custom", "error");
                   out += report_error_name(error);
                   out += " }";
                 },
             },
             payload_);
  return out;
}

}  // namespace quorvel
