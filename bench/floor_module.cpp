// quorvel_floor: a benchmark-only extension that does the object work of
// parse_report and nothing else. build_result(report_bytes) returns the same
// dictionary, built with the same interpreter calls in the same order
// (PyDict_New, PyBytes_FromStringAndSize, PyUnicode_FromStringAndSize for
// every key, PyLong_FromLong, PyDict_SetItem), but from pieces stored in
// advance by load(): it neither decodes nor encodes. The time of a
// build_result call is the floor under any implementation of parse_report.
//
// The argument is taken like parse_report takes it (one bytes object, by
// position or as report_bytes=) so that the call itself costs the same; its
// contents are not read.
//
// Two more functions split a call of parse_report into its parts for the
// benchmark: call_only(report_bytes), the call and its argument check alone,
// and codec_round_trip(report_bytes), the codec's decoding and encoding alone.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "codec/attestation_report.hpp"

namespace {

// The pieces of one result, as parse_report would have them after decoding.
struct KnownResult {
  std::array<unsigned char, 64> chip_id{};
  std::array<unsigned char, 64> report_data{};
  std::array<unsigned char, 672> signed_bytes{};
  std::array<unsigned char, 72> sig_r{};
  std::array<unsigned char, 72> sig_s{};
  std::array<long, 4> reported_tcb{};  // bootloader, tee, snp, microcode
  bool has_cpuid = false;
  std::array<long, 3> cpuid{};  // fam_id, mod_id, step
  bool loaded = false;
};

KnownResult g_known;

// Releases `value` and the key it is stored under whatever the outcome, as
// parse_report does; returns false when the insertion failed.
bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
  if (value == nullptr) return false;
  PyObject* key_object = PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
  if (key_object == nullptr) {
    Py_DECREF(value);
    return false;
  }
  const int status = PyDict_SetItem(dict, key_object, value);
  Py_DECREF(key_object);
  Py_DECREF(value);
  return status == 0;
}

template <std::size_t N>
PyObject* new_bytes(const std::array<unsigned char, N>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(N));
}

PyObject* new_int_or_none(bool present, long value) {
  if (present) return PyLong_FromLong(value);
  Py_INCREF(Py_None);
  return Py_None;
}

// A dictionary of small integers (or of None when not `present`), as the
// reported_tcb and cpuid entries are built.
template <std::size_t N>
PyObject* int_dict(const std::array<std::string_view, N>& keys, const std::array<long, N>& values, bool present) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    if (!set_item(dict, keys[i], new_int_or_none(present, values[i]))) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

constexpr std::array<std::string_view, 4> kTcbKeys = {"bootloader", "tee", "snp", "microcode"};
constexpr std::array<std::string_view, 3> kCpuidKeys = {"fam_id", "mod_id", "step"};

PyObject* result_dict(const KnownResult& known) {
  PyObject* result = PyDict_New();
  if (result == nullptr) return nullptr;
  const bool ok = set_item(result, "chip_id", new_bytes(known.chip_id)) &&
                  set_item(result, "report_data", new_bytes(known.report_data)) &&
                  set_item(result, "signed_bytes", new_bytes(known.signed_bytes)) &&
                  set_item(result, "sig_r", new_bytes(known.sig_r)) &&
                  set_item(result, "sig_s", new_bytes(known.sig_s)) &&
                  set_item(result, "reported_tcb", int_dict(kTcbKeys, known.reported_tcb, true)) &&
                  set_item(result, "cpuid", int_dict(kCpuidKeys, known.cpuid, known.has_cpuid));
  if (!ok) {
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

// The single argument, by position or by keyword; null with TypeError otherwise.
PyObject* single_bytes_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  PyObject* argument = nullptr;
  if (nargs == 1 && keywords == 0) {
    argument = args[0];
  } else if (nargs == 0 && keywords == 1 &&
             PyUnicode_CompareWithASCIIString(PyTuple_GetItem(kwnames, 0), "report_bytes") == 0) {
    argument = args[0];
  }
  if (argument == nullptr || !PyBytes_Check(argument)) {
    PyErr_SetString(PyExc_TypeError, "build_result() takes one bytes argument, report_bytes");
    return nullptr;
  }
  return argument;
}

PyObject* build_result(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (single_bytes_argument(args, nargs, kwnames) == nullptr) return nullptr;
  if (!g_known.loaded) {
    PyErr_SetString(PyExc_RuntimeError, "load() a result first");
    return nullptr;
  }
  return result_dict(g_known);
}

// call_only(report_bytes): the call and its argument check, nothing else.
PyObject* call_only(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (single_bytes_argument(args, nargs, kwnames) == nullptr) return nullptr;
  Py_RETURN_NONE;
}

// codec_round_trip(report_bytes): what parse_report asks of the codec alone,
// decoding the report and encoding the record, with nothing made of either;
// True when both succeeded. Its time is the codec's share of a call.
PyObject* codec_round_trip(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argument = single_bytes_argument(args, nargs, kwnames);
  if (argument == nullptr) return nullptr;
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(argument));
  const auto size = static_cast<std::size_t>(PyBytes_Size(argument));
  const auto decoded = quorvel::AttestationReport::from_bytes(std::span(data, size));
  const bool ok = decoded.ok() && decoded.value().to_bytes().ok();
  return PyBool_FromLong(ok);
}

// Copies a bytes value of exactly N bytes from `dict[key]`.
template <std::size_t N>
bool copy_bytes(PyObject* dict, const char* key, std::array<unsigned char, N>& out) {
  PyObject* value = PyDict_GetItemString(dict, key);  // borrowed
  if (value == nullptr || !PyBytes_Check(value) || PyBytes_Size(value) != static_cast<Py_ssize_t>(N)) {
    PyErr_Format(PyExc_ValueError, "'%s' must be %d bytes", key, static_cast<int>(N));
    return false;
  }
  std::memcpy(out.data(), PyBytes_AsString(value), N);
  return true;
}

// Copies the int values of `dict[key][name]` for each name; with `allow_none`
// all of them may be None instead, which clears `present`.
template <std::size_t N>
bool copy_ints(PyObject* dict, const char* key, const std::array<const char*, N>& names, std::array<long, N>& out,
               bool* present) {
  PyObject* inner = PyDict_GetItemString(dict, key);  // borrowed
  if (inner == nullptr || !PyDict_Check(inner)) {
    PyErr_Format(PyExc_ValueError, "'%s' must be a dict", key);
    return false;
  }
  std::size_t nones = 0;
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* value = PyDict_GetItemString(inner, names[i]);  // borrowed
    if (value == Py_None && present != nullptr) {
      ++nones;
      continue;
    }
    if (value == nullptr || !PyLong_Check(value)) {
      PyErr_Format(PyExc_ValueError, "'%s'['%s'] must be an int", key, names[i]);
      return false;
    }
    out[i] = PyLong_AsLong(value);
    if (out[i] == -1 && PyErr_Occurred()) return false;
  }
  if (present != nullptr) {
    if (nones != 0 && nones != N) {
      PyErr_Format(PyExc_ValueError, "'%s' must be all ints or all None", key);
      return false;
    }
    *present = nones == 0;
  }
  return true;
}

// load(result): remembers the pieces of a result dictionary (as parse_report
// returns it) for the following build_result calls.
PyObject* load(PyObject* /*module*/, PyObject* result) {
  if (!PyDict_Check(result)) {
    PyErr_SetString(PyExc_TypeError, "load() takes a result dict");
    return nullptr;
  }
  KnownResult known;
  const bool ok =
      copy_bytes(result, "chip_id", known.chip_id) && copy_bytes(result, "report_data", known.report_data) &&
      copy_bytes(result, "signed_bytes", known.signed_bytes) && copy_bytes(result, "sig_r", known.sig_r) &&
      copy_bytes(result, "sig_s", known.sig_s) &&
      copy_ints<4>(result, "reported_tcb", {"bootloader", "tee", "snp", "microcode"}, known.reported_tcb, nullptr) &&
      copy_ints<3>(result, "cpuid", {"fam_id", "mod_id", "step"}, known.cpuid, &known.has_cpuid);
  if (!ok) return nullptr;
  known.loaded = true;
  g_known = known;
  Py_RETURN_NONE;
}

PyMethodDef g_methods[] = {
    {"build_result", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&build_result)),
     METH_FASTCALL | METH_KEYWORDS, "build_result(report_bytes)\n--\n\nThe loaded result, built anew."},
    {"call_only", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_only)),
     METH_FASTCALL | METH_KEYWORDS, "call_only(report_bytes)\n--\n\nChecks the argument and returns None."},
    {"codec_round_trip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&codec_round_trip)),
     METH_FASTCALL | METH_KEYWORDS,
     "codec_round_trip(report_bytes)\n--\n\nDecodes and encodes the report; True when both succeed."},
    {"load", &load, METH_O, "load(result)\n--\n\nRemembers the pieces of a result for build_result."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvel_floor",
    "Benchmark-only: parse_report's object work without decoding or encoding.",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quorvel_floor() noexcept { return PyModule_Create(&g_definition); }
