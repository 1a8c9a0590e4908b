// The module object: its definition, the functions it carries and
// PyInit_quorvel, the one symbol the extension exports.

#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "module/boundary.hpp"
#include "module/capi.hpp"
#include "module/functions.hpp"

namespace quorvel {
namespace {

// The interpreter's API version that PyModule_Create2 is asked for.
constexpr int kApiVersion = 1013;

// Callers match this text exactly, the name of another implementation included.
constexpr const char* kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html";

// The module's functions, in the order of registration and of __all__: the
// name, the parameters, how many of them are required, and the body.
constexpr std::tuple kFunctions{
    ModuleFunction<get_report>("get_report", {"_challenge", "_msg_ver", "_vmpl"}, 1),
    ModuleFunction<parse_report>("parse_report", {"report_bytes"}, 1),
    ModuleFunction<get_tdx_quote>("get_tdx_quote", {"_report_data"}, 1),
};
constexpr std::size_t kFunctionCount = std::tuple_size_v<decltype(kFunctions)>;

template <std::size_t index>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_at_boundary([&] { return std::get<index>(kFunctions).call(args, nargs, kwnames); });
}

// Each function's name, text signature and entry point, in table order.
struct Registration {
  ArgumentSpec spec;
  PyCFunction entry;
};

template <std::size_t... index>
std::array<Registration, kFunctionCount> registrations(std::index_sequence<index...> /*indices*/) {
  // METH_FASTCALL | METH_KEYWORDS functions are stored under the generic
  // PyCFunction type; the flags tell the interpreter their real shape.
  return {Registration{std::get<index>(kFunctions).spec(),
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<index>))}...};
}

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
// The method record of each function, with the name and text signature it
// points at, made on first use and never freed: a function object points at
// its record for its whole life, and function objects can outlive any one
// call. Holding them here lets an initialisation that failed and is tried
// again reuse them rather than leave them behind, and keeps them visible to
// leak checkers.
struct MethodRecord {
  std::string name;
  std::string text_signature;
  PyMethodDef definition;
};
MethodRecord* g_records[kFunctionCount] = {};

PyMethodDef* method_definition(std::size_t index) {
  MethodRecord*& record = g_records[index];
  if (record == nullptr) {
    static const std::array<Registration, kFunctionCount> table =
        registrations(std::make_index_sequence<kFunctionCount>());
    const Registration& registration = table[index];
    const ArgumentSpec& parameters = registration.spec;
    record = new MethodRecord{std::string(parameters.function_name), parameters.text_signature(), {}};
    record->definition = {record->name.c_str(), registration.entry, METH_FASTCALL | METH_KEYWORDS,
                          record->text_signature.c_str()};
  }
  return &record->definition;
}

PyResult<PyObject*> interned(PyObject*& slot, std::string_view text) {
  if (slot == nullptr) {
    QUORVEL_TRY_ASSIGN(name, new_object(capi::unicode_from(text)));
    PyObject* interned_name = name.release();
    PyUnicode_InternInPlace(&interned_name);
    slot = interned_name;
  }
  return slot;
}

PyResult<PyRef> new_function(PyObject* module, std::size_t index) {
  QUORVEL_TRY_ASSIGN(module_name, returned(capi::module_name(module)));
  return returned(capi::new_function(method_definition(index), module, module_name.get()));
}

PyResult<PyRef> module_all(PyObject* module) {
  QUORVEL_TRY_ASSIGN(all_name, interned(g_all_attribute, "__all__"));
  PyRef all = PyRef::steal(capi::get_attr(module, all_name));
  if (!all) {
    PyErr error = PyErr::fetch();
    if (error.is_internal_failure()) return error;
    QUORVEL_TRY_ASSIGN(missing, error.matches(PyExc_AttributeError));
    if (!missing) return error;
    QUORVEL_TRY_ASSIGN(list, new_object(capi::list_new()));
    if (capi::set_attr(module, all_name, list.get()) < 0) return PyErr::fetch();
    return list;
  }
  if (!PyList_Check(all.get())) return PyErr::type_mismatch(all.get(), "PyList");
  return all;
}

PyResult<Unit> add_function(PyObject* module, PyObject* function) {
  QUORVEL_TRY_ASSIGN(name_attribute, interned(g_name_attribute, "__name__"));
  QUORVEL_TRY_ASSIGN(name, returned(capi::get_attr(function, name_attribute)));
  if (!PyUnicode_Check(name.get())) return PyErr::type_mismatch(name.get(), "PyString");
  QUORVEL_TRY_ASSIGN(all, module_all(module));
  if (capi::list_append(all.get(), name.get()) < 0) {
    PyErr error = PyErr::fetch();
    if (error.is_internal_failure()) return error;
    QUORVEL_TRY_ASSIGN(cause, error.debug_form());
    return PyErr::internal("could not append __name__ to __all__: " + cause);
  }
  if (capi::set_attr(module, name.get(), function) < 0) return PyErr::fetch();
  return Unit{};
}

PyResult<Unit> add_functions(PyObject* module) {
  for (std::size_t index = 0; index < kFunctionCount; ++index) {
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

  QUORVEL_TRY_ASSIGN(module, returned(capi::module_create(&g_definition, kApiVersion)));
  QUORVEL_TRY(add_functions(module.get()));
  // Only a nested initialisation can have filled the cache meanwhile; the
  // first module stored wins and the new one is released.
  if (g_module == nullptr) g_module = module.release();
  return PyRef::borrow(g_module);
}

}  // namespace
}  // namespace quorvel

PyMODINIT_FUNC PyInit_quorvel() { return quorvel::call_at_boundary(quorvel::init_module); }
