// parse_report: decode a raw report, re-encode it for its signed region and
// hand the verifier what it needs as a dictionary.

#include <array>
#include <span>
#include <string_view>

#include "codec/attestation_report.hpp"
#include "module/arguments.hpp"
#include "module/capi.hpp"
#include "module/functions.hpp"
#include "module/internal_failure.hpp"

namespace quorvel {
namespace {

constexpr std::array<std::string_view, 1> kParameters = {"report_bytes"};
constexpr ArgumentSpec kSpec{
    .function_name = "parse_report",
    .class_name = {},
    .positional = kParameters,
    .positional_only = 0,
    .required_positional = 1,
};

PyRef new_dict() {
  PyRef dict = PyRef::steal(capi::dict_new());
  if (!dict) api_call_failed();
  return dict;
}

template <std::size_t N>
PyRef new_bytes(const std::array<std::uint8_t, N>& bytes, std::size_t size = N) {
  PyRef object = PyRef::steal(capi::bytes_from(bytes.data(), size));
  if (!object) api_call_failed();
  return object;
}

PyRef new_int(std::uint8_t value) {
  PyRef object = PyRef::steal(capi::long_from(value));
  if (!object) api_call_failed();
  return object;
}

PyRef new_int_or_none(const std::optional<std::uint8_t>& value) {
  return value ? new_int(*value) : PyRef::borrow(Py_None);
}

// Inserts `value` under a fresh key string. The value is made by the caller
// before the key; both are released here whatever the outcome. False when the
// insertion failed, with the interpreter's exception pending: the caller then
// fetches it. (A result per insertion, each with an error value to destroy,
// cost more than the sixteen insertions' own work outside the interpreter.)
[[nodiscard]] bool set_item(PyObject* dict, std::string_view key, PyRef value) {
  PyRef key_object = PyRef::steal(capi::unicode_from(key));
  if (!key_object) api_call_failed();
  return capi::dict_set_item(dict, key_object.get(), value.get()) == 0;
}

// The reported TCB version; null when an insertion failed. The Turin-only
// fmc component is not part of the result.
PyRef tcb_dict(const TcbVersion& tcb) {
  PyRef dict = new_dict();
  const bool inserted =
      set_item(dict.get(), "bootloader", new_int(tcb.bootloader)) && set_item(dict.get(), "tee", new_int(tcb.tee)) &&
      set_item(dict.get(), "snp", new_int(tcb.snp)) && set_item(dict.get(), "microcode", new_int(tcb.microcode));
  return inserted ? std::move(dict) : PyRef();
}

// The CPUID identification, all None for a version-2 report; null when an
// insertion failed.
PyRef cpuid_dict(const AttestationReport& report) {
  PyRef dict = new_dict();
  const bool inserted = set_item(dict.get(), "fam_id", new_int_or_none(report.cpuid_fam_id)) &&
                        set_item(dict.get(), "mod_id", new_int_or_none(report.cpuid_mod_id)) &&
                        set_item(dict.get(), "step", new_int_or_none(report.cpuid_step));
  return inserted ? std::move(dict) : PyRef();
}

// The result; null when an insertion failed, with the interpreter's exception pending.
PyRef result_dict(const AttestationReport& report, const EncodedReport& encoded) {
  PyRef result = new_dict();
  if (!set_item(result.get(), "chip_id", new_bytes(report.chip_id)) ||
      !set_item(result.get(), "report_data", new_bytes(report.report_data)) ||
      !set_item(result.get(), "signed_bytes", new_bytes(encoded, kSignedRegionSize)) ||
      !set_item(result.get(), "sig_r", new_bytes(report.signature.r)) ||
      !set_item(result.get(), "sig_s", new_bytes(report.signature.s))) {
    return PyRef();
  }
  PyRef tcb = tcb_dict(report.reported_tcb);
  if (!tcb || !set_item(result.get(), "reported_tcb", std::move(tcb))) return PyRef();
  PyRef cpuid = cpuid_dict(report);
  if (!cpuid || !set_item(result.get(), "cpuid", std::move(cpuid))) return PyRef();
  return result;
}

}  // namespace

PyResult<PyRef> parse_report(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kParameters.size()> slots{};
  QUORVEL_TRY(extract_arguments(kSpec, args, nargs, kwnames, slots));
  QUORVEL_TRY_ASSIGN(bytes, extract_bytes(slots[0], "report_bytes"));
  const char* data = PyBytes_AsString(bytes);
  const Py_ssize_t size = PyBytes_Size(bytes);
  if (data == nullptr || size < 0) return PyErr::fetch();

  auto decoded = AttestationReport::from_bytes(
      std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
  if (!decoded.ok()) {
    return PyErr::with_text(PyExc_ValueError,
                            "AttestationReport::from_bytes failed: " + decoded.error().debug_rendering());
  }
  // The signed region comes from the re-encoding, not from the input, so
  // that a verifier checks the signature over exactly what was decoded.
  auto encoded = decoded.value().to_bytes();
  if (!encoded.ok()) {
    return PyErr::with_text(PyExc_ValueError, "report.to_bytes failed: " + encoded.error().debug_rendering());
  }
  PyRef result = result_dict(decoded.value(), encoded.value());
  if (!result) return PyErr::fetch();
  return result;
}

}  // namespace quorvel
