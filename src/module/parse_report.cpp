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

// Builds the result from objects the module makes. Each step returns false
// (or a null reference) once the interpreter has failed to make or insert an
// object, which ends the building; the failure stays pending in the
// interpreter and is taken (failure()) only once every object made for the
// result has been released. So the steps cost a test of a flag, and no
// caller's code runs (a sys.excepthook printing the failure) while the
// objects are held as LocalRefs.
class ResultBuilder {
 public:
  LocalRef result(const AttestationReport& report, const EncodedReport& encoded) {
    LocalRef dict = made(capi::dict_new());
    if (!dict || !set_item(dict.get(), "chip_id", bytes(report.chip_id)) ||
        !set_item(dict.get(), "report_data", bytes(report.report_data)) ||
        !set_item(dict.get(), "signed_bytes", bytes(encoded, kSignedRegionSize)) ||
        !set_item(dict.get(), "sig_r", bytes(report.signature.r)) ||
        !set_item(dict.get(), "sig_s", bytes(report.signature.s)) ||
        !set_item(dict.get(), "reported_tcb", tcb_dict(report.reported_tcb)) ||
        !set_item(dict.get(), "cpuid", cpuid_dict(report))) {
      return LocalRef();
    }
    return dict;
  }

  // After result() returned null: an object that could not be made is an
  // internal failure, an insertion that failed raises its own error.
  PyErr failure() const { return insertion_failed_ ? PyErr::fetch() : PyErr::api_call_failed(); }

 private:
  static LocalRef made(PyObject* object) { return LocalRef::steal(object); }
  template <std::size_t N>
  static LocalRef bytes(const std::array<std::uint8_t, N>& bytes, std::size_t size = N) {
    return made(capi::bytes_from(bytes.data(), size));
  }
  static LocalRef integer(std::uint8_t value) { return made(capi::long_from(value)); }
  static LocalRef integer_or_none(const std::optional<std::uint8_t>& value) {
    return value ? integer(*value) : LocalRef::borrow(Py_None);
  }

  // Inserts the value under a fresh key string. The value is made (by the
  // caller) before the key; both are released here whatever the outcome.
  bool set_item(PyObject* dict, std::string_view key, LocalRef value) {
    if (!value) return false;
    const LocalRef key_object = made(capi::unicode_from(key));
    if (!key_object) return false;
    if (capi::dict_set_item(dict, key_object.get(), value.get()) < 0) {
      insertion_failed_ = true;
      return false;
    }
    return true;
  }

  // The reported TCB version. The Turin-only fmc component is not part of the result.
  LocalRef tcb_dict(const TcbVersion& tcb) {
    LocalRef dict = made(capi::dict_new());
    if (!dict || !set_item(dict.get(), "bootloader", integer(tcb.bootloader)) ||
        !set_item(dict.get(), "tee", integer(tcb.tee)) || !set_item(dict.get(), "snp", integer(tcb.snp)) ||
        !set_item(dict.get(), "microcode", integer(tcb.microcode))) {
      return LocalRef();
    }
    return dict;
  }

  // The CPUID identification, all None for a version-2 report.
  LocalRef cpuid_dict(const AttestationReport& report) {
    LocalRef dict = made(capi::dict_new());
    if (!dict || !set_item(dict.get(), "fam_id", integer_or_none(report.cpuid_fam_id)) ||
        !set_item(dict.get(), "mod_id", integer_or_none(report.cpuid_mod_id)) ||
        !set_item(dict.get(), "step", integer_or_none(report.cpuid_step))) {
      return LocalRef();
    }
    return dict;
  }

  bool insertion_failed_ = false;
};

// Building the result is most of every call: with its steps inlined, the
// compiler folds away the moves and tests of their results.
QUORVEL_INLINE_CALLEES PyResult<PyRef> result_dict(const AttestationReport& report, const EncodedReport& encoded) {
  ResultBuilder build;
  if (LocalRef dict = build.result(report, encoded)) return PyRef::steal(dict.release());
  return build.failure();
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
