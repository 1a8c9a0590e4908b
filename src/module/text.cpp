#include "module/text.hpp"

#include "module/caller_code.hpp"

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

namespace {

// A type's name is itself an object of the caller's (a str subclass may be
// assigned to __name__), whose own type's name may be unprintable in turn,
// back to the first type. Past this many levels the name is given up.
constexpr int kNameLevels = 8;

PyResult<std::string> safe_text_at(PyObject* object, TextForm form, int level) {
  // __str__ may return a str subclass of the caller's.
  if (CallerRef text = CallerRef::steal(form == TextForm::Str ? caller_code::str(object) : caller_code::repr(object))) {
    return str_text(text.get());
  }
  if (PyErr::interrupt_pending()) return PyErr::fetch_unchecked();
  // A message must never fail because an object cannot print itself: the
  // failure goes to the unraisable hook and a placeholder takes its place.
  // A call that failed without setting an exception leaves nothing to report,
  // and the hook must not be called without one.
  if (PyErr_Occurred()) caller_code::write_unraisable(object);
  // The name's own __str__ may leave us its last reference.
  CallerRef name = level < kNameLevels ? CallerRef::steal(capi::type_name(Py_TYPE(object))) : CallerRef();
  if (!name) {
    PyErr_Clear();
    return std::string("<unprintable object>");
  }
  QUORVEL_TRY_ASSIGN(name_text, safe_text_at(name.get(), TextForm::Str, level + 1));
  return "<unprintable " + name_text + " object>";
}

}  // namespace

PyResult<std::string> safe_text(PyObject* object, TextForm form) { return safe_text_at(object, form, 0); }

}  // namespace quorvel
