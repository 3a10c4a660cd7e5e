// Shared declarations of the extension module: the class objects, the wrappers that turn core
// values into Python objects, and the argument converters with their exact error texts.
#ifndef VELK_PYTHON_MODULE_H_
#define VELK_PYTHON_MODULE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <vector>

#include "velk/entity.h"
#include "velk/pipeline.h"
#include "velk/token_map.h"

namespace velk::python {

// Class objects, created once at module initialisation and kept for the life of the process.
struct Classes {
  PyTypeObject* entity_type = nullptr;
  PyTypeObject* entity = nullptr;
  PyTypeObject* token_map = nullptr;
  PyTypeObject* anonymize_result = nullptr;
};
extern Classes classes;

// Each adds its class to `module` (and to `__all__`); false with an exception set on failure.
bool add_entity_type_class(PyObject* module);
bool add_entity_class(PyObject* module);
bool add_token_map_class(PyObject* module);
bool add_anonymize_result_class(PyObject* module);

// New references; nullptr with an exception set on failure.
PyObject* wrap_entity_type(EntityType type);
PyObject* wrap_entity(const Entity& entity);
PyObject* wrap_token_map(TokenMap&& map);
// A new wrapper around a map that other wrappers may share.
PyObject* wrap_token_map(std::shared_ptr<const TokenMap> map);
PyObject* wrap_anonymize_result(AnonymizeResult&& result);

// Access to the values held by instances (the object must be of the right class).
EntityType entity_type_of(PyObject* object);
const Entity& entity_of(PyObject* object);
const TokenMap& token_map_of(PyObject* object);
std::shared_ptr<const TokenMap> shared_token_map_of(PyObject* object);

// Binds positional and keyword arguments to `names` (all positional-or-keyword, the first
// `required` of them required) with the interpreter's usual messages for a missing, surplus,
// unknown or repeated argument. Omitted arguments are left as nullptr; results are borrowed.
bool parse_arguments(const char* function, PyObject* args, PyObject* kwargs,
                     std::initializer_list<const char*> names, std::size_t required,
                     PyObject** out);

// Argument converters: true on success; false with the TypeError (or the interpreter's
// UnicodeEncodeError) set. `name` is the parameter name used in the message.
bool convert_text(PyObject* object, const char* name, std::string_view* out);
bool convert_token_map(PyObject* object, const char* name, const TokenMap** out);
// None (or a null object, for an omitted argument) gives nullptr.
bool convert_optional_token_map(PyObject* object, const char* name,
                                std::shared_ptr<const TokenMap>* out);
bool convert_entity_type(PyObject* object, const char* name, EntityType* out);
// A sequence (not a str) of Entity objects, copied in iteration order.
bool convert_entities(PyObject* object, const char* name, std::vector<Entity>* out);
// None or omitted gives an empty list.
bool convert_optional_entities(PyObject* object, const char* name, std::vector<Entity>* out);

// Runs the body of an entry point or slot and turns a failed allocation inside it into
// MemoryError instead of letting a C++ exception cross the C API. `body` returns what the slot
// returns: a new reference or nullptr, or a number (a length, a hash, a status) where -1 reports
// the error; either way with the exception set on failure.
template <typename Body>
auto guarded(Body&& body) -> decltype(body()) {
  using Result = decltype(body());
  static_assert(std::is_pointer_v<Result> || std::is_integral_v<Result>);
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  }
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return static_cast<Result>(-1);
  }
}

// New str from UTF-8 bytes.
PyObject* to_str(std::string_view text);

// Calls the type's tp_free and drops the reference that heap-type instances hold on their type.
void free_instance(PyObject* self);

// Raises "No constructor defined for <type name>".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace velk::python

#endif  // VELK_PYTHON_MODULE_H_
