#include "module/text.hpp"

#include "module/capi.hpp"

namespace quorvel {

PyResult<std::string> str_text(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, static_cast<std::size_t>(size));
  // Only lone surrogates make a str unencodable; encode them as they stand
  // and let the lenient decoder replace them.
  PyErr_Clear();
  QUORVEL_TRY_ASSIGN(encoded, new_object(capi::encode_surrogatepass(text)));
  return utf8_lossy(
      std::string_view(PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get()))));
}

PyResult<std::string> safe_text(PyObject* object, TextForm form) {
  PyRef text = PyRef::steal(form == TextForm::Str ? capi::object_str(object) : capi::object_repr(object));
  if (text) {
    auto utf8 = str_text(text.get());
    text.reset();  // __str__ may have returned a str subclass of the caller's
    return utf8;
  }
  // A message must never fail because an object cannot print itself: the
  // failure goes to the unraisable hook and a placeholder takes its place.
  // A call that failed without setting an exception leaves nothing to report,
  // and the hook must not be called without one.
  if (PyErr_Occurred()) run_caller_code([object] { PyErr_WriteUnraisable(object); });
  PyRef name = PyRef::steal(capi::type_name(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return std::string("<unprintable object>");
  }
  QUORVEL_TRY_ASSIGN(name_text, safe_text(name.get()));
  return "<unprintable " + name_text + " object>";
}

}  // namespace quorvel
