#pragma once

// The interpreter calls of the module that allocate or insert, and so can
// fail for lack of memory. A test build (QUORVEL_FAULT_INJECTION) can make
// any one of them fail on demand, to prove that every failure path releases
// what it holds and ends with the right exception; in the installed module
// the check compiles to nothing. Those that may run the caller's Python
// code are not here but in caller_code.hpp.

#include <string_view>

#include "module/python.hpp"

namespace quorvel::capi {

#ifdef QUORVEL_FAULT_INJECTION
// True when this call is the one chosen to fail; the chosen failure has
// already been set up (an exception set, none, or a C++ allocation failure).
bool inject_fault();
// False for a release on a thread that does not hold the interpreter lock,
// which the test build counts (and skips) instead.
bool lock_held_for_release() noexcept;
// The LocalRefs this thread holds, and the calls of the caller's code made
// while it holds any (see LocalRef).
void local_ref_taken() noexcept;
void local_ref_released() noexcept;
void audit_caller_code() noexcept;
#else
constexpr bool inject_fault() noexcept { return false; }
constexpr bool lock_held_for_release() noexcept { return true; }
constexpr void local_ref_taken() noexcept {}
constexpr void local_ref_released() noexcept {}
constexpr void audit_caller_code() noexcept {}
#endif

// Every release of a reference the module holds.
inline void decref(PyObject* object) {
  if (lock_held_for_release()) Py_DECREF(object);
}

inline PyObject* unicode_from(std::string_view text) {
  if (inject_fault()) return nullptr;
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
inline PyObject* bytes_from(const unsigned char* data, std::size_t size) {
  if (inject_fault()) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}
inline PyObject* long_from(long value) {
  if (inject_fault()) return nullptr;
  return PyLong_FromLong(value);
}
inline PyObject* dict_new() {
  if (inject_fault()) return nullptr;
  return PyDict_New();
}
inline PyObject* list_new() {
  if (inject_fault()) return nullptr;
  return PyList_New(0);
}
inline PyObject* tuple_new(Py_ssize_t size) {
  if (inject_fault()) return nullptr;
  return PyTuple_New(size);
}
inline int dict_set_item(PyObject* dict, PyObject* key, PyObject* value) {
  if (inject_fault()) return -1;
  return PyDict_SetItem(dict, key, value);
}
inline int list_append(PyObject* list, PyObject* item) {
  if (inject_fault()) return -1;
  return PyList_Append(list, item);
}
inline PyObject* get_attr(PyObject* object, PyObject* name) {
  if (inject_fault()) return nullptr;
  return PyObject_GetAttr(object, name);
}
inline int set_attr(PyObject* object, PyObject* name, PyObject* value) {
  if (inject_fault()) return -1;
  return PyObject_SetAttr(object, name, value);
}
inline PyObject* type_qualname(PyTypeObject* type) {
  if (inject_fault()) return nullptr;
  return PyType_GetQualName(type);
}
inline PyObject* type_name(PyTypeObject* type) {
  if (inject_fault()) return nullptr;
  return PyType_GetName(type);
}
inline PyObject* encode_surrogatepass(PyObject* text) {
  if (inject_fault()) return nullptr;
  return PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
}
inline PyObject* new_exception_type(const char* name, const char* doc, PyObject* base) {
  if (inject_fault()) return nullptr;
  return PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
}
inline PyObject* module_create(PyModuleDef* definition, int api_version) {
  if (inject_fault()) return nullptr;
  return PyModule_Create2(definition, api_version);
}
inline PyObject* module_name(PyObject* module) {
  if (inject_fault()) return nullptr;
  return PyModule_GetNameObject(module);
}
inline PyObject* new_function(PyMethodDef* definition, PyObject* module, PyObject* module_name) {
  if (inject_fault()) return nullptr;
  return PyCMethod_New(definition, module, module_name, nullptr);
}

}  // namespace quorvel::capi
