// PyAnonymizeResult: the immutable outcome of one anonymize call.
#include <memory>
#include <new>
#include <string>

#include "module.h"
#include "velk/pipeline.h"

namespace velk::python {

namespace {

struct AnonymizeResultObject {
  PyObject_HEAD
  AnonymizeResult value;  // its map is shared with the getter's objects
};

AnonymizeResultObject* as_result(PyObject* object) {
  return reinterpret_cast<AnonymizeResultObject*>(object);
}

void result_dealloc(PyObject* self) {
  as_result(self)->value.~AnonymizeResult();
  free_instance(self);
}

PyObject* result_repr(PyObject* self) {
  return guarded([&] {
    const AnonymizeResult& result = as_result(self)->value;
    std::string text = "AnonymizeResult(text_len=";
    text.append(std::to_string(result.text.size()));
    text.append(", entities=");
    text.append(std::to_string(result.entity_count));
    text.push_back(')');
    return to_str(text);
  });
}

PyObject* result_get_text(PyObject* self, void*) {
  return guarded([&] { return to_str(as_result(self)->value.text); });
}

PyObject* result_get_token_map(PyObject* self, void*) {
  return guarded([&] { return wrap_token_map(as_result(self)->value.token_map); });
}

PyObject* result_get_entity_count(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(as_result(self)->value.entity_count); });
}

PyObject* result_get_entities(PyObject* self, void*) {
  const std::vector<Entity>& entities = as_result(self)->value.entities;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(entities.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < entities.size(); ++i) {
    // Each item copies its entity, so the list is dropped whole when one copy fails.
    PyObject* item = guarded([&] { return wrap_entity(entities[i]); });
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyGetSetDef result_getset[] = {
    {"text", result_get_text, nullptr, nullptr, nullptr},
    {"token_map", result_get_token_map, nullptr, nullptr, nullptr},
    {"entity_count", result_get_entity_count, nullptr, nullptr, nullptr},
    {"entities", result_get_entities, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Python wrapper for AnonymizeResult (output of anonymize* functions).")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "velk_anonymizer.PyAnonymizeResult",
    sizeof(AnonymizeResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    result_slots,
};

}  // namespace

PyObject* wrap_anonymize_result(AnonymizeResult&& result) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(classes.anonymize_result, Py_tp_alloc));
  PyObject* object = alloc(classes.anonymize_result, 0);
  if (!object) return nullptr;
  new (&as_result(object)->value) AnonymizeResult(std::move(result));
  return object;
}

bool add_anonymize_result_class(PyObject* module) {
  PyObject* type = PyType_FromSpec(&result_spec);
  if (!type) return false;
  classes.anonymize_result = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "AnonymizeResult", type) == 0;
}

}  // namespace velk::python
