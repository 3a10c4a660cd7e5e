// PyEntity: an immutable (text, entity_type) pair.
#include <new>
#include <string>

#include "module.h"

namespace velk::python {

namespace {

struct EntityObject {
  PyObject_HEAD
  Entity value;
};

EntityObject* as_entity(PyObject* object) { return reinterpret_cast<EntityObject*>(object); }

PyObject* new_entity_object(PyTypeObject* type, Entity&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (!object) return nullptr;
  new (&as_entity(object)->value) Entity(std::move(value));
  return object;
}

PyObject* entity_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[2];
    if (!parse_arguments("PyEntity.__new__", args, kwargs, {"text", "entity_type"}, 2, arg)) {
      return nullptr;
    }
    std::string_view text;
    EntityType kind;
    if (!convert_text(arg[0], "text", &text)) return nullptr;
    if (!convert_entity_type(arg[1], "entity_type", &kind)) return nullptr;
    return new_entity_object(type, Entity{std::string(text), kind});
  });
}

void entity_dealloc(PyObject* self) {
  as_entity(self)->value.~Entity();
  free_instance(self);
}

PyObject* entity_repr(PyObject* self) {
  return guarded([&] {
    const Entity& entity = as_entity(self)->value;
    std::string text = "Entity(text=";
    text.append(debug_string(entity.text));
    text.append(", type=");
    text.append(display_name(entity.entity_type));
    text.push_back(')');
    return to_str(text);
  });
}

PyObject* entity_get_text(PyObject* self, void*) {
  return guarded([&] { return to_str(as_entity(self)->value.text); });
}

PyObject* entity_get_entity_type(PyObject* self, void*) {
  return guarded([&] { return wrap_entity_type(as_entity(self)->value.entity_type); });
}

PyGetSetDef entity_getset[] = {
    {"text", entity_get_text, nullptr, nullptr, nullptr},
    {"entity_type", entity_get_entity_type, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entity_slots[] = {
    {Py_tp_doc, const_cast<char*>("PyEntity(text, entity_type)\n--\n\n"
                                  "Python wrapper for Entity (detected span).")},
    {Py_tp_new, reinterpret_cast<void*>(entity_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entity_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(entity_repr)},
    {Py_tp_getset, entity_getset},
    {0, nullptr},
};

PyType_Spec entity_spec = {
    "velk_anonymizer.PyEntity",
    sizeof(EntityObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    entity_slots,
};

}  // namespace

PyObject* wrap_entity(const Entity& entity) {
  return new_entity_object(classes.entity, Entity(entity));
}

const Entity& entity_of(PyObject* object) { return as_entity(object)->value; }

bool add_entity_class(PyObject* module) {
  PyObject* type = PyType_FromSpec(&entity_spec);
  if (!type) return false;
  classes.entity = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "Entity", type) == 0;
}

}  // namespace velk::python
