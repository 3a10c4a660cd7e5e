// Module initialisation: one module object per process, refused in any other interpreter.
#include "functions.h"
#include "module.h"
#include "velk/session_json.h"

namespace velk::python {

Classes classes;

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velk_anonymizer",
    "",
    // Not -1: with a negative size the interpreter would copy the first module's dictionary
    // into other interpreters without calling our initialisation, bypassing the check below.
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;
std::int64_t the_interpreter = -1;

bool append_to_all(PyObject* all, const char* name) {
  PyObject* text = PyUnicode_FromString(name);
  if (!text) return false;
  const int rc = PyList_Append(all, text);
  Py_DECREF(text);
  return rc == 0;
}

PyObject* create_module() {
  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  PyObject* all = PyList_New(0);
  bool ok = all && PyModule_AddObjectRef(module, "__all__", all) == 0;
  ok = ok &&
       PyModule_AddIntConstant(module, "SESSION_FORMAT_VERSION", SESSION_FORMAT_VERSION) == 0 &&
       append_to_all(all, "SESSION_FORMAT_VERSION");
  ok = ok && add_entity_type_class(module) && append_to_all(all, "EntityType");
  ok = ok && add_entity_class(module) && append_to_all(all, "Entity");
  ok = ok && add_token_map_class(module) && append_to_all(all, "TokenMap");
  ok = ok && add_anonymize_result_class(module) && append_to_all(all, "AnonymizeResult");
  for (const PyMethodDef* def = module_functions; ok && def->ml_name; ++def) {
    ok = append_to_all(all, def->ml_name);
  }
  Py_XDECREF(all);
  if (!ok) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace

}  // namespace velk::python

PyMODINIT_FUNC PyInit_velk_anonymizer() {
  using namespace velk::python;
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (the_module) {
    if (interpreter != the_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "velk_anonymizer modules do not support subinterpreters: the module can "
                      "only be imported by the interpreter that imported it first");
      return nullptr;
    }
    Py_INCREF(the_module);
    return the_module;
  }
  PyObject* module = guarded(create_module);
  if (!module) return nullptr;
  the_interpreter = interpreter;
  the_module = module;
  Py_INCREF(the_module);  // kept for the life of the process
  return module;
}
