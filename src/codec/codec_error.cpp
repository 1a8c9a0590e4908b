#include "codec/codec_error.hpp"

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

}  // namespace

std::string_view kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::InvalidData: return "InvalidData";
    case ErrorKind::Unsupported: return "Unsupported";
    case ErrorKind::UnexpectedEof: return "UnexpectedEof";
    case ErrorKind::Other: return "Other";
  }
  return "Other";
}

std::string_view kind_description(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::InvalidData: return "invalid data";
    case ErrorKind::Unsupported: return "unsupported";
    case ErrorKind::UnexpectedEof: return "unexpected end of file";
    case ErrorKind::Other: return "other error";
  }
  return "other error";
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
  switch (payload_.index()) {
    case 1: return std::string(std::get<FixedMessage>(payload_).text);
    case 2: return std::get<std::string>(payload_);
    case 3: return std::string(report_error_text(std::get<ReportError>(payload_)));
    default: return std::string(kind_description(kind_));
  }
}

std::string CodecError::debug_rendering() const {
  std::string out;
  switch (payload_.index()) {
    case 1:
      out += "Error { kind: ";
      out += kind_name(kind_);
      out += ", message: ";
      append_quoted(out, std::get<FixedMessage>(payload_).text);
      out += " }";
      break;
    case 2:
    case 3:
      out += "Custom { kind: ";
      out += kind_name(kind_);
      out += ", error: ";
      if (const auto* text = std::get_if<std::string>(&payload_)) {
        append_quoted(out, *text);
      } else {
        out += report_error_name(std::get<ReportError>(payload_));
      }
      out += " }";
      break;
    default:
      out += "Kind(";
      out += kind_name(kind_);
      out += ")";
  }
  return out;
}

}  // namespace quorvel
