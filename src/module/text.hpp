#pragma once

#include <string>
#include <string_view>

#include "module/py_err.hpp"

namespace quorvel {

// UTF-8 text of a str object, never failing on its content: lone surrogates
// come out as U+FFFD (one per byte of their surrogatepass encoding). Fails
// only when the interpreter cannot encode them.
PyResult<std::string> str_text(PyObject* text);

// str() (or repr()) of any object as UTF-8 text. A failing __str__ is handed
// to the unraisable hook and replaced by "<unprintable {type} object>";
// only a KeyboardInterrupt or SystemExit raised there makes it fail.
enum class TextForm { Str, Repr };
PyResult<std::string> safe_text(PyObject* object, TextForm form = TextForm::Str);

// Decodes UTF-8 leniently: valid runs are copied and each maximal ill-formed
// subsequence becomes one U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace quorvel
