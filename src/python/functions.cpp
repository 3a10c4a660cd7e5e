// Module functions: convert the arguments, call one core operation, wrap the result.
#include "functions.h"

#include "velk/substitution.h"

namespace velk::python {

namespace {

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyObject* py_build_token_map(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"entities", "existing", nullptr};
  PyObject* entities_object = nullptr;
  PyObject* existing_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:build_token_map",
                                   const_cast<char**>(keywords), &entities_object,
                                   &existing_object)) {
    return nullptr;
  }
  std::vector<Entity> entities;
  const TokenMap* existing = nullptr;
  if (!convert_entities(entities_object, "entities", &entities)) return nullptr;
  if (!convert_optional_token_map(existing_object, "existing", &existing)) return nullptr;
  return wrap_token_map(velk::build_token_map(entities, existing));
}

// Shared by the two substitution functions, which take (text, token_map).
template <std::string (*Operation)(std::string_view, const TokenMap&)>
PyObject* py_text_and_map(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* keywords[] = {"text", "token_map", nullptr};
  PyObject* text_object = nullptr;
  PyObject* map_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                   &text_object, &map_object)) {
    return nullptr;
  }
  std::string_view text;
  const TokenMap* map = nullptr;
  if (!convert_text(text_object, "text", &text)) return nullptr;
  if (!convert_token_map(map_object, "token_map", &map)) return nullptr;
  return to_str(Operation(text, *map));
}

PyObject* py_apply_token_map(PyObject*, PyObject* args, PyObject* kwargs) {
  return py_text_and_map<velk::apply_token_map>(args, kwargs, "OO:apply_token_map");
}

PyObject* py_deanonymize(PyObject*, PyObject* args, PyObject* kwargs) {
  return py_text_and_map<velk::deanonymize>(args, kwargs, "OO:deanonymize");
}

}  // namespace

PyMethodDef module_functions[] = {
    {"deanonymize", as_cfunction(py_deanonymize), METH_VARARGS | METH_KEYWORDS,
     "deanonymize(text, token_map)\n--\n\n"
     "Reverse substitution: replace placeholder tokens in `text` with real entities."},
    {"build_token_map", as_cfunction(py_build_token_map), METH_VARARGS | METH_KEYWORDS,
     "build_token_map(entities, existing=None)\n--\n\n"
     "Build or extend a TokenMap from detected entities with deterministic numbering."},
    {"apply_token_map", as_cfunction(py_apply_token_map), METH_VARARGS | METH_KEYWORDS,
     "apply_token_map(text, token_map)\n--\n\n"
     "Apply a TokenMap's forward substitutions to text (entity \u2192 token)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velk::python
