// Argument conversion shared by every entry point, with the exact TypeError texts callers see.
#include "module.h"

#include <algorithm>
#include <string>

namespace velk::python {

namespace {

// "argument 'NAME': 'TYPE' object cannot be converted to 'EXPECTED'"
void raise_wrong_type(PyObject* object, const char* name, const char* expected) {
  PyObject* type_name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)),
                                               "__name__");
  const char* type_text = type_name ? PyUnicode_AsUTF8AndSize(type_name, nullptr) : nullptr;
  if (!type_text) {
    PyErr_Clear();
    type_text = "object";
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name,
               type_text, expected);
  Py_XDECREF(type_name);
}

bool is_instance_of(PyObject* object, PyTypeObject* type) {
  return PyObject_TypeCheck(object, type);
}

}  // namespace

bool parse_arguments(const char* function, PyObject* args, PyObject* kwargs,
                     std::initializer_list<const char*> names, std::size_t required,
                     PyObject** out) {
  const std::size_t count = names.size();
  const auto given = static_cast<std::size_t>(PyTuple_Size(args));
  if (given > count) {
    const char* plural = given == 1 ? "was" : "were";
    if (required == count) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given",
                   function, count, count == 1 ? "" : "s", given, plural);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zu %s given", function,
                   required, count, given, plural);
    }
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) out[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;
  if (kwargs) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t index = count;
      std::size_t i = 0;
      for (const char* name : names) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
          index = i;
          break;
        }
        ++i;
      }
      if (index == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                     key);
        return false;
      }
      if (out[index]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                     names.begin()[index]);
        return false;
      }
      out[index] = value;
    }
  }
  std::string missing;
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i]) continue;
    ++missing_count;
    if (!missing.empty()) missing.append(", ");
    missing.append("'").append(names.begin()[i]).append("'");
  }
  if (missing_count > 0) {
    if (missing_count == 2) missing.replace(missing.find(", "), 2, " and ");
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 function, missing_count, missing_count == 1 ? "" : "s", missing.c_str());
    return false;
  }
  return true;
}

PyObject* to_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

bool convert_text(PyObject* object, const char* name, std::string_view* out) {
  if (!PyUnicode_Check(object)) {
    raise_wrong_type(object, name, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  // Raises UnicodeEncodeError for lone surrogates; the buffer lives as long as the str.
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) return false;
  *out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_token_map(PyObject* object, const char* name, const TokenMap** out) {
  if (!is_instance_of(object, classes.token_map)) {
    raise_wrong_type(object, name, "PyTokenMap");
    return false;
  }
  *out = &token_map_of(object);
  return true;
}

bool convert_optional_token_map(PyObject* object, const char* name,
                                std::shared_ptr<const TokenMap>* out) {
  if (!object || object == Py_None) {
    out->reset();
    return true;
  }
  if (!is_instance_of(object, classes.token_map)) {
    raise_wrong_type(object, name, "PyTokenMap");
    return false;
  }
  *out = shared_token_map_of(object);
  return true;
}

bool convert_entity_type(PyObject* object, const char* name, EntityType* out) {
  if (!is_instance_of(object, classes.entity_type)) {
    raise_wrong_type(object, name, "PyEntityType");
    return false;
  }
  *out = entity_type_of(object);
  return true;
}

bool convert_entities(PyObject* object, const char* name, std::vector<Entity>* out) {
  if (PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_wrong_type(object, name, "Sequence");
    return false;
  }
  std::vector<Entity> entities;
  // The reported length is only a hint: a sequence may claim any size, and iteration decides.
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    entities.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 4096)));
  }
  PyObject* iterator = PyObject_GetIter(object);
  if (!iterator) return false;
  while (PyObject* item = PyIter_Next(iterator)) {
    if (!is_instance_of(item, classes.entity)) {
      raise_wrong_type(item, name, "PyEntity");
      Py_DECREF(item);
      Py_DECREF(iterator);
      return false;
    }
    entities.push_back(entity_of(item));
    Py_DECREF(item);
  }
  Py_DECREF(iterator);
  if (PyErr_Occurred()) return false;
  *out = std::move(entities);
  return true;
}

bool convert_optional_entities(PyObject* object, const char* name, std::vector<Entity>* out) {
  if (!object || object == Py_None) {
    out->clear();
    return true;
  }
  return convert_entities(object, name, out);
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyObject* type_name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
    if (!type_name) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", type_name);
    Py_DECREF(type_name);
    return nullptr;
  });
}

}  // namespace velk::python
