// PyEntityType: the ten kinds as class attributes, int(), equality with kinds and integers,
// a process-independent hash, and the static token_prefix.
#include <new>

#include "module.h"

namespace velk::python {

namespace {

struct EntityTypeObject {
  PyObject_HEAD
  EntityType kind;
};

EntityTypeObject* as_entity_type(PyObject* object) {
  return reinterpret_cast<EntityTypeObject*>(object);
}

PyObject* entity_type_repr(PyObject* self) {
  return guarded([&] {
    std::string text = "EntityType.";
    text.append(display_name(as_entity_type(self)->kind));
    return to_str(text);
  });
}

Py_hash_t entity_type_hash_slot(PyObject* self) {
  return guarded(
      [&] { return static_cast<Py_hash_t>(velk::entity_type_hash(as_entity_type(self)->kind)); });
}

PyObject* compare_entity_type(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  const long value = numeric_value(as_entity_type(self)->kind);
  bool equal;
  if (PyObject_TypeCheck(other, classes.entity_type)) {
    equal = as_entity_type(other)->kind == as_entity_type(self)->kind;
  } else {
    const long number = PyLong_AsLong(other);
    if (number == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
    equal = number == value;
  }
  if ((op == Py_EQ) == equal) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

PyObject* entity_type_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&] { return compare_entity_type(self, other, op); });
}

PyObject* entity_type_int(PyObject* self) {
  return guarded([&] { return PyLong_FromLong(numeric_value(as_entity_type(self)->kind)); });
}

PyObject* entity_type_token_prefix(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* py_et;
    if (!parse_arguments("token_prefix", args, kwargs, {"py_et"}, 1, &py_et)) return nullptr;
    EntityType type;
    if (!convert_entity_type(py_et, "py_et", &type)) return nullptr;
    return to_str(token_prefix(type));
  });
}

void entity_type_dealloc(PyObject* self) { free_instance(self); }

PyMethodDef entity_type_methods[] = {
    {"token_prefix", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                         entity_type_token_prefix)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "token_prefix(py_et)\n--\n\n"
     "Get the token prefix for this entity type (e.g., \"PERSON\", \"EMAIL\")."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot entity_type_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for EntityType enum.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entity_type_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(entity_type_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(entity_type_hash_slot)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entity_type_richcompare)},
    {Py_nb_int, reinterpret_cast<void*>(entity_type_int)},
    {Py_tp_methods, entity_type_methods},
    {0, nullptr},
};

PyType_Spec entity_type_spec = {
    "velk_anonymizer.PyEntityType",
    sizeof(EntityTypeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    entity_type_slots,
};

}  // namespace

PyObject* wrap_entity_type(EntityType type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(classes.entity_type, Py_tp_alloc));
  PyObject* object = alloc(classes.entity_type, 0);
  if (!object) return nullptr;
  as_entity_type(object)->kind = type;
  return object;
}

EntityType entity_type_of(PyObject* object) { return as_entity_type(object)->kind; }

bool add_entity_type_class(PyObject* module) {
  PyObject* type = PyType_FromSpec(&entity_type_spec);
  if (!type) return false;
  classes.entity_type = reinterpret_cast<PyTypeObject*>(type);
  // The class attributes are made once, so EntityType.Person is EntityType.Person. The class
  // is immutable to Python code, so they go in through the generic setter, which writes the
  // type's own dictionary without the immutability check.
  for (EntityType kind : kAllEntityTypes) {
    PyObject* instance = wrap_entity_type(kind);
    if (!instance) return false;
    PyObject* key = PyUnicode_InternFromString(std::string(display_name(kind)).c_str());
    const int rc = key ? PyObject_GenericSetAttr(type, key, instance) : -1;
    Py_XDECREF(key);
    Py_DECREF(instance);
    if (rc < 0) return false;
  }
  PyType_Modified(classes.entity_type);
  return PyModule_AddObjectRef(module, "EntityType", type) == 0;
}

}  // namespace velk::python
