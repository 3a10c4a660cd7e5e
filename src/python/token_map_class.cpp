// PyTokenMap: an immutable wrapper of one TokenMap value. Being immutable, the value is shared
// between wrappers (a result's map and every object its getter returns) instead of copied.
#include <memory>
#include <new>
#include <string>

#include "module.h"
#include "velk/session_json.h"

namespace velk::python {

namespace {

struct TokenMapObject {
  PyObject_HEAD
  std::shared_ptr<const TokenMap> value;  // never null
};

TokenMapObject* as_token_map(PyObject* object) {
  return reinterpret_cast<TokenMapObject*>(object);
}

PyObject* new_token_map_object(PyTypeObject* type, std::shared_ptr<const TokenMap> value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (!object) return nullptr;
  new (&as_token_map(object)->value) std::shared_ptr<const TokenMap>(std::move(value));
  return object;
}

PyObject* token_map_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!parse_arguments("PyTokenMap.__new__", args, kwargs, {}, 0, nullptr)) return nullptr;
    return new_token_map_object(type, std::make_shared<const TokenMap>());
  });
}

void token_map_dealloc(PyObject* self) {
  using Shared = std::shared_ptr<const TokenMap>;
  as_token_map(self)->value.~Shared();
  free_instance(self);
}

Py_ssize_t token_map_length(PyObject* self) {
  return guarded([&] { return static_cast<Py_ssize_t>(as_token_map(self)->value->size()); });
}

PyObject* token_map_repr(PyObject* self) {
  return guarded([&] {
    std::string text = "TokenMap(len=";
    text.append(std::to_string(as_token_map(self)->value->size()));
    text.push_back(')');
    return to_str(text);
  });
}

PyObject* token_map_to_session_json(PyObject* self, PyObject*) {
  return guarded([&] { return to_str(to_session_json(*as_token_map(self)->value)); });
}

PyObject* token_map_from_session_json(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* json_object;
    if (!parse_arguments("from_session_json", args, kwargs, {"json_str"}, 1, &json_object)) {
      return nullptr;
    }
    std::string_view json;
    if (!convert_text(json_object, "json_str", &json)) return nullptr;
    SessionResult result = from_session_json(json);
    if (!result.ok()) {
      PyObject* text = to_str(result.error().message());
      if (text) {
        PyErr_SetObject(PyExc_ValueError, text);
        Py_DECREF(text);
      }
      return nullptr;
    }
    return wrap_token_map(std::move(result.value()));
  });
}

PyMethodDef token_map_methods[] = {
    {"to_session_json", token_map_to_session_json, METH_NOARGS,
     "to_session_json($self)\n--\n\nSerialize this map into a versioned JSON string."},
    {"from_session_json",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(token_map_from_session_json)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_session_json(json_str)\n--\n\n"
     "Parse a versioned JSON string back into a TokenMap.\n"
     "Raises ValueError if the JSON is malformed or the version is unsupported."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot token_map_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "PyTokenMap()\n--\n\n"
                    "Python wrapper for TokenMap (bidirectional entity \u2194 token mapping).")},
    {Py_tp_new, reinterpret_cast<void*>(token_map_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(token_map_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(token_map_repr)},
    {Py_mp_length, reinterpret_cast<void*>(token_map_length)},
    {Py_tp_methods, token_map_methods},
    {0, nullptr},
};

PyType_Spec token_map_spec = {
    "velk_anonymizer.PyTokenMap",
    sizeof(TokenMapObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    token_map_slots,
};

}  // namespace

PyObject* wrap_token_map(TokenMap&& map) {
  return new_token_map_object(classes.token_map, std::make_shared<const TokenMap>(std::move(map)));
}

PyObject* wrap_token_map(std::shared_ptr<const TokenMap> map) {
  return new_token_map_object(classes.token_map, std::move(map));
}

const TokenMap& token_map_of(PyObject* object) { return *as_token_map(object)->value; }

std::shared_ptr<const TokenMap> shared_token_map_of(PyObject* object) {
  return as_token_map(object)->value;
}

bool add_token_map_class(PyObject* module) {
  PyObject* type = PyType_FromSpec(&token_map_spec);
  if (!type) return false;
  classes.token_map = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, "TokenMap", type) == 0;
}

}  // namespace velk::python
