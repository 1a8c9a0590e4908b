// parse_report: decode a raw report, re-encode it for its signed region and
// hand the verifier what it needs as a dictionary.

#include <array>
#include <span>
#include <string_view>

#include "codec/attestation_report.hpp"
#include "codec/inlining.hpp"
#include "module/capi.hpp"
#include "module/functions.hpp"

namespace quorvel {
namespace {

template <std::size_t N>
PyResult<PyRef> new_bytes(const std::array<std::uint8_t, N>& bytes, std::size_t size = N) {
  return new_object(capi::bytes_from(bytes.data(), size));
}

PyResult<PyRef> new_int(std::uint8_t value) { return new_object(capi::long_from(value)); }

PyResult<PyRef> new_int_or_none(const std::optional<std::uint8_t>& value) {
  if (!value) return PyRef::borrow(Py_None);
  return new_int(*value);
}

// Inserts the value under a fresh key string. The value is made (by the
// caller) before the key; both are released here whatever the outcome.
PyResult<Unit> set_item(PyObject* dict, std::string_view key, PyResult<PyRef> value) {
  if (!value) return std::move(value).error();
  QUORVEL_TRY_ASSIGN(key_object, new_object(capi::unicode_from(key)));
  if (capi::dict_set_item(dict, key_object.get(), value.value().get()) < 0) return PyErr::fetch();
  return Unit{};
}

// The reported TCB version. The Turin-only fmc component is not part of the result.
PyResult<PyRef> tcb_dict(const TcbVersion& tcb) {
  QUORVEL_TRY_ASSIGN(dict, new_object(capi::dict_new()));
  QUORVEL_TRY(set_item(dict.get(), "bootloader", new_int(tcb.bootloader)));
  QUORVEL_TRY(set_item(dict.get(), "tee", new_int(tcb.tee)));
  QUORVEL_TRY(set_item(dict.get(), "snp", new_int(tcb.snp)));
  QUORVEL_TRY(set_item(dict.get(), "microcode", new_int(tcb.microcode)));
  return dict;
}

// The CPUID identification, all None for a version-2 report.
PyResult<PyRef> cpuid_dict(const AttestationReport& report) {
  QUORVEL_TRY_ASSIGN(dict, new_object(capi::dict_new()));
  QUORVEL_TRY(set_item(dict.get(), "fam_id", new_int_or_none(report.cpuid_fam_id)));
  QUORVEL_TRY(set_item(dict.get(), "mod_id", new_int_or_none(report.cpuid_mod_id)));
  QUORVEL_TRY(set_item(dict.get(), "step", new_int_or_none(report.cpuid_step)));
  return dict;
}

// Building the result is most of every call: with its steps inlined, the
// compiler folds away the moves and tests of their results.
QUORVEL_INLINE_CALLEES PyResult<PyRef> result_dict(const AttestationReport& report, const EncodedReport& encoded) {
  QUORVEL_TRY_ASSIGN(dict, new_object(capi::dict_new()));
  QUORVEL_TRY(set_item(dict.get(), "chip_id", new_bytes(report.chip_id)));
  QUORVEL_TRY(set_item(dict.get(), "report_data", new_bytes(report.report_data)));
  QUORVEL_TRY(set_item(dict.get(), "signed_bytes", new_bytes(encoded, kSignedRegionSize)));
  QUORVEL_TRY(set_item(dict.get(), "sig_r", new_bytes(report.signature.r)));
  QUORVEL_TRY(set_item(dict.get(), "sig_s", new_bytes(report.signature.s)));
  QUORVEL_TRY(set_item(dict.get(), "reported_tcb", tcb_dict(report.reported_tcb)));
  QUORVEL_TRY(set_item(dict.get(), "cpuid", cpuid_dict(report)));
  return dict;
}

}  // namespace

PyResult<PyRef> parse_report(Bytes report_bytes) {
  const char* data = PyBytes_AsString(report_bytes.object);
  const Py_ssize_t size = PyBytes_Size(report_bytes.object);
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
  return result_dict(decoded.value(), encoded.value());
}

}  // namespace quorvel
