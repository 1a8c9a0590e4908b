// get_report and get_tdx_quote: the evidence-gathering functions, which this
// build cannot serve. They keep the full argument contract, so a call that
// would be malformed on a capable build fails the same way here, and only a
// well-formed call reaches the fixed unavailability error.

#include <array>
#include <string_view>

#include "module/arguments.hpp"
#include "module/functions.hpp"

namespace quorvel {
namespace {

constexpr std::array<std::string_view, 3> kGetReportParameters = {"_challenge", "_msg_ver", "_vmpl"};
constexpr ArgumentSpec kGetReportSpec{
    .function_name = "get_report",
    .class_name = {},
    .positional = kGetReportParameters,
    .positional_only = 0,
    .required_positional = 1,
};

constexpr std::array<std::string_view, 1> kGetTdxQuoteParameters = {"_report_data"};
constexpr ArgumentSpec kGetTdxQuoteSpec{
    .function_name = "get_tdx_quote",
    .class_name = {},
    .positional = kGetTdxQuoteParameters,
    .positional_only = 0,
    .required_positional = 1,
};

}  // namespace

PyResult<PyRef> get_report(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kGetReportParameters.size()> slots{};
  QUORVEL_TRY(extract_arguments(kGetReportSpec, args, nargs, kwnames, slots));
  QUORVEL_TRY(extract_bytes(slots[0], "_challenge"));
  QUORVEL_TRY(extract_optional_u32(slots[1], "_msg_ver"));
  QUORVEL_TRY(extract_optional_u32(slots[2], "_vmpl"));
  return PyErr::with_static_text(
      PyExc_NotImplementedError,
      "get_report is only available on Linux in an SEV-SNP guest (requires /dev/sev-guest).");
}

PyResult<PyRef> get_tdx_quote(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kGetTdxQuoteParameters.size()> slots{};
  QUORVEL_TRY(extract_arguments(kGetTdxQuoteSpec, args, nargs, kwnames, slots));
  QUORVEL_TRY(extract_bytes(slots[0], "_report_data"));
  return PyErr::with_static_text(
      PyExc_ValueError,
      "TDX device failure: TDX quote generation not available (built without libtdx-attest-dev or not on Linux).");
}

}  // namespace quorvel
