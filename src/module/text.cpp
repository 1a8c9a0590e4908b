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

namespace {

// A type's name is itself an object of the caller's (a str subclass may be
// assigned to __name__), whose own type's name may be unprintable in turn,
// back to the first type. Past this many levels the name is given up.
constexpr int kNameLevels = 8;

PyResult<std::string> safe_text_at(PyObject* object, TextForm form, int level) {
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
  PyRef name = level < kNameLevels ? PyRef::steal(capi::type_name(Py_TYPE(object))) : PyRef();
  if (!name) {
    PyErr_Clear();
    return std::string("<unprintable object>");
  }
  auto name_text = safe_text_at(name.get(), TextForm::Str, level + 1);
  name.reset();  // the name's __str__ may have left us its last reference
  if (!name_text) return name_text;
  return "<unprintable " + name_text.value() + " object>";
}

}  // namespace

PyResult<std::string> safe_text(PyObject* object, TextForm form) { return safe_text_at(object, form, 0); }

}  // namespace quorvel
