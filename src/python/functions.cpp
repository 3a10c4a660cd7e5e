// Module functions: convert the arguments, call one core operation, wrap the result.
#include "functions.h"

#include "velk/pipeline.h"
#include "velk/substitution.h"
#include "velk/tech_allowlist.h"

namespace velk::python {

namespace {

using KeywordFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);

// Every entry point goes through `guarded`, so no C++ exception reaches the interpreter.
template <KeywordFunction Function>
PyObject* entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return Function(self, args, kwargs); });
}

template <KeywordFunction Function>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Function>));
}

PyObject* py_anonymize(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* arg[2];
  if (!parse_arguments("anonymize", args, kwargs, {"text", "existing"}, 1, arg)) return nullptr;
  std::string_view text;
  std::shared_ptr<const TokenMap> existing;
  if (!convert_text(arg[0], "text", &text)) return nullptr;
  if (!convert_optional_token_map(arg[1], "existing", &existing)) return nullptr;
  return wrap_anonymize_result(velk::anonymize(text, std::move(existing)));
}

PyObject* py_anonymize_with_custom(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* arg[3];
  if (!parse_arguments("anonymize_with_custom", args, kwargs,
                       {"text", "existing", "custom_entities"}, 1, arg)) {
    return nullptr;
  }
  std::string_view text;
  std::shared_ptr<const TokenMap> existing;
  std::vector<Entity> custom_entities;
  if (!convert_text(arg[0], "text", &text)) return nullptr;
  if (!convert_optional_token_map(arg[1], "existing", &existing)) return nullptr;
  if (!convert_optional_entities(arg[2], "custom_entities", &custom_entities)) return nullptr;
  return wrap_anonymize_result(
      velk::anonymize_with_custom(text, std::move(existing), custom_entities));
}

PyObject* py_build_token_map(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* arg[2];
  if (!parse_arguments("build_token_map", args, kwargs, {"entities", "existing"}, 1, arg)) {
    return nullptr;
  }
  std::vector<Entity> entities;
  std::shared_ptr<const TokenMap> existing;
  if (!convert_entities(arg[0], "entities", &entities)) return nullptr;
  if (!convert_optional_token_map(arg[1], "existing", &existing)) return nullptr;
  return wrap_token_map(velk::build_token_map(entities, existing.get()));
}

// Shared by the two substitution functions, which take (text, token_map).
template <std::string (*Operation)(std::string_view, const TokenMap&)>
PyObject* py_text_and_map(PyObject* args, PyObject* kwargs, const char* function) {
  PyObject* arg[2];
  if (!parse_arguments(function, args, kwargs, {"text", "token_map"}, 2, arg)) return nullptr;
  std::string_view text;
  const TokenMap* map = nullptr;
  if (!convert_text(arg[0], "text", &text)) return nullptr;
  if (!convert_token_map(arg[1], "token_map", &map)) return nullptr;
  return to_str(Operation(text, *map));
}

PyObject* py_apply_token_map(PyObject*, PyObject* args, PyObject* kwargs) {
  return py_text_and_map<velk::apply_token_map>(args, kwargs, "apply_token_map");
}

PyObject* py_deanonymize(PyObject*, PyObject* args, PyObject* kwargs) {
  return py_text_and_map<velk::deanonymize>(args, kwargs, "deanonymize");
}

PyObject* py_get_tech_allowlist(PyObject*, PyObject* args, PyObject* kwargs) {
  if (!parse_arguments("get_tech_allowlist", args, kwargs, {}, 0, nullptr)) return nullptr;
  const ViewSet& allowlist = tech_allowlist();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(allowlist.size()));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (std::string_view entry : allowlist) {
    PyObject* item = to_str(entry);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, index++, item);
  }
  return list;
}

}  // namespace

PyMethodDef module_functions[] = {
    {"anonymize", as_cfunction<py_anonymize>(), METH_VARARGS | METH_KEYWORDS,
     "anonymize(text, existing=None)\n--\n\n"
     "Detect entities in `text` and replace them with stable placeholder tokens."},
    {"anonymize_with_custom", as_cfunction<py_anonymize_with_custom>(),
     METH_VARARGS | METH_KEYWORDS,
     "anonymize_with_custom(text, existing=None, custom_entities=None)\n--\n\n"
     "Anonymize with caller-supplied custom entities in addition to built-in detectors."},
    {"deanonymize", as_cfunction<py_deanonymize>(), METH_VARARGS | METH_KEYWORDS,
     "deanonymize(text, token_map)\n--\n\n"
     "Reverse substitution: replace placeholder tokens in `text` with real entities."},
    {"build_token_map", as_cfunction<py_build_token_map>(), METH_VARARGS | METH_KEYWORDS,
     "build_token_map(entities, existing=None)\n--\n\n"
     "Build or extend a TokenMap from detected entities with deterministic numbering."},
    {"apply_token_map", as_cfunction<py_apply_token_map>(), METH_VARARGS | METH_KEYWORDS,
     "apply_token_map(text, token_map)\n--\n\n"
     "Apply a TokenMap's forward substitutions to text (entity \u2192 token)."},
    {"get_tech_allowlist", as_cfunction<py_get_tech_allowlist>(), METH_VARARGS | METH_KEYWORDS,
     "get_tech_allowlist()\n--\n\n"
     "Get the tech allowlist as a list of allowlisted terms.\n"
     "These are case-sensitive proper nouns (frameworks, languages, SaaS names)\n"
     "that should not be masked during anonymization.\n"
     "\n"
     "Returns a list[str] for case-insensitive matching in the parity tests."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velk::python
