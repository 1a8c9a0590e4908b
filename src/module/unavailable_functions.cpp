// get_report and get_tdx_quote: the evidence-gathering functions, which this
// build cannot serve. They keep the full argument contract, so a call that
// would be malformed on a capable build fails the same way here, and only a
// well-formed call reaches the fixed unavailability error.

#include "module/functions.hpp"

namespace quorvel {

PyResult<PyRef> get_report(Bytes /*challenge*/, std::optional<std::uint32_t> /*msg_ver*/,
                           std::optional<std::uint32_t> /*vmpl*/) {
  return PyErr::with_static_text(
      PyExc_NotImplementedError,
      "get_report is only available on Linux in an SEV-SNP guest (requires /dev/sev-guest).");
}

PyResult<PyRef> get_tdx_quote(Bytes /*report_data*/) {
  return PyErr::with_static_text(
      PyExc_ValueError,
      "TDX device failure: TDX quote generation not available (built without libtdx-attest-dev or not on Linux).");
}

}  // namespace quorvel
