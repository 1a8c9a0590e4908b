// get_report and get_tdx_quote: the evidence-gathering functions, which this
// build cannot serve. They keep the full argument contract, so a call that
// would be malformed on a capable build fails the same way here, and only a
// well-formed call reaches the fixed unavailability error.

#include <string_view>

#include "module/functions.hpp"

namespace quorvel {
namespace {

constexpr std::string_view kGetReportParameters[] = {"_challenge", "_msg_ver", "_vmpl"};
constexpr std::string_view kGetTdxQuoteParameters[] = {"_report_data"};

PyResult<PyRef> get_report(Arguments arguments) {
  QUORVEL_TRY(extract_bytes(arguments[0], kGetReportParameters[0]));
  QUORVEL_TRY(extract_optional_u32(arguments[1], kGetReportParameters[1]));
  QUORVEL_TRY(extract_optional_u32(arguments[2], kGetReportParameters[2]));
  return PyErr::with_static_text(
      PyExc_NotImplementedError,
      "get_report is only available on Linux in an SEV-SNP guest (requires /dev/sev-guest).");
}

PyResult<PyRef> get_tdx_quote(Arguments arguments) {
  QUORVEL_TRY(extract_bytes(arguments[0], kGetTdxQuoteParameters[0]));
  return PyErr::with_static_text(
      PyExc_ValueError,
      "TDX device failure: TDX quote generation not available (built without libtdx-attest-dev or not on Linux).");
}

}  // namespace

constexpr ModuleFunction kGetReport{"get_report", kGetReportParameters, 1, get_report};
constexpr ModuleFunction kGetTdxQuote{"get_tdx_quote", kGetTdxQuoteParameters, 1, get_tdx_quote};

}  // namespace quorvel
