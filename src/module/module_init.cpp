// The module object: its definition, the functions it carries and
// PyInit_quorvel, the one symbol the extension exports.

#include <atomic>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "module/boundary.hpp"
#include "module/capi.hpp"
#include "module/functions.hpp"

namespace quorvel {
namespace {

// The interpreter's API version that PyModule_Create2 is asked for.
constexpr int kApiVersion = 1013;

constexpr const char* kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html";

template <FunctionBody body>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_at_boundary([&] { return body(args, nargs, kwnames); });
}

struct FunctionDescriptor {
  const char* name;
  PyCFunction function;
  const char* doc;  // only the text signature, so __doc__ is None
};

template <FunctionBody body>
PyCFunction as_cfunction() noexcept {
  // METH_FASTCALL | METH_KEYWORDS functions are stored under the generic
  // PyCFunction type; the flags tell the interpreter their real shape.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<body>));
}

// In this order: it is the order of registration and of __all__.
const FunctionDescriptor kFunctions[] = {
    {"get_report", as_cfunction<get_report>(), "get_report(_challenge, _msg_ver=None, _vmpl=None)\n--\n\n"},
    {"parse_report", as_cfunction<parse_report>(), "parse_report(report_bytes)\n--\n\n"},
    {"get_tdx_quote", as_cfunction<get_tdx_quote>(), "get_tdx_quote(_report_data)\n--\n\n"},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvel",  // m_name
    "",         // m_doc: the module's __doc__ is the empty string
    0,          // m_size: no per-module state
    nullptr,    // m_methods: functions are added one by one
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

// Process-wide state. The owner is decided before anything else and may be
// raced for by interpreters with separate locks, hence the atomic; the rest
// is written only under the owning interpreter's lock and never released.
std::atomic<std::int64_t> g_owner{-1};
PyObject* g_module = nullptr;
PyObject* g_name_attribute = nullptr;
PyObject* g_all_attribute = nullptr;
// The PyMethodDef record of each descriptor, made on first use and never
// freed: a function object points at its record for its whole life, and
// function objects can outlive any one call. Holding them here lets an
// initialisation that failed and is tried again reuse them rather than
// leave them behind, and keeps them visible to leak checkers.
PyMethodDef* g_definitions[std::size(kFunctions)] = {};

PyObject* interned(PyObject*& slot, std::string_view text) {
  if (slot == nullptr) {
    PyObject* name = capi::unicode_from(text);
    if (name == nullptr) api_call_failed();
    PyUnicode_InternInPlace(&name);
    slot = name;
  }
  return slot;
}

PyResult<PyRef> new_function(PyObject* module, std::size_t index) {
  PyRef module_name = PyRef::steal(capi::module_name(module));
  if (!module_name) return PyErr::fetch();
  PyMethodDef*& definition = g_definitions[index];
  if (definition == nullptr) {
    const FunctionDescriptor& descriptor = kFunctions[index];
    definition = new PyMethodDef{descriptor.name, descriptor.function, METH_FASTCALL | METH_KEYWORDS, descriptor.doc};
  }
  PyRef function = PyRef::steal(capi::new_function(definition, module, module_name.get()));
  if (!function) return PyErr::fetch();
  return function;
}

PyResult<PyRef> module_all(PyObject* module) {
  PyObject* all_name = interned(g_all_attribute, "__all__");
  PyRef all = PyRef::steal(capi::get_attr(module, all_name));
  if (!all) {
    PyErr error = PyErr::fetch();
    if (!error.matches(PyExc_AttributeError)) return error;
    all = PyRef::steal(capi::list_new());
    if (!all) api_call_failed();
    if (capi::set_attr(module, all_name, all.get()) < 0) return PyErr::fetch();
    return all;
  }
  if (!PyList_Check(all.get())) return PyErr::type_mismatch(all.get(), "PyList");
  return all;
}

PyResult<Unit> add_function(PyObject* module, PyObject* function) {
  PyRef name = PyRef::steal(capi::get_attr(function, interned(g_name_attribute, "__name__")));
  if (!name) return PyErr::fetch();
  if (!PyUnicode_Check(name.get())) return PyErr::type_mismatch(name.get(), "PyString");
  QUORVEL_TRY_ASSIGN(all, module_all(module));
  if (capi::list_append(all.get(), name.get()) < 0) {
    throw InternalFailure("could not append __name__ to __all__: " + PyErr::fetch().debug_form());
  }
  if (capi::set_attr(module, name.get(), function) < 0) return PyErr::fetch();
  return Unit{};
}

PyResult<Unit> add_functions(PyObject* module) {
  for (std::size_t index = 0; index < std::size(kFunctions); ++index) {
    QUORVEL_TRY_ASSIGN(function, new_function(module, index));
    QUORVEL_TRY(add_function(module, function.get()));
  }
  return Unit{};
}

PyResult<PyRef> init_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return PyErr::fetch();
  std::int64_t owner = -1;
  if (!g_owner.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
    return PyErr::with_static_text(PyExc_ImportError, kSubinterpreterMessage);
  }
  if (g_module != nullptr) return PyRef::borrow(g_module);

  PyRef module = PyRef::steal(capi::module_create(&g_definition, kApiVersion));
  if (!module) return PyErr::fetch();
  QUORVEL_TRY(add_functions(module.get()));
  // Only a nested initialisation can have filled the cache meanwhile; the
  // first module stored wins and the new one is released.
  if (g_module == nullptr) g_module = module.release();
  return PyRef::borrow(g_module);
}

}  // namespace
}  // namespace quorvel

PyMODINIT_FUNC PyInit_quorvel() { return quorvel::call_at_boundary(quorvel::init_module); }
