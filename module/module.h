// Registration helpers and the shape shared by the module's classes: each
// instance holds exactly one C++ value, made only by the module itself.
#pragma once

#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "module/py.h"

namespace tallyvox::py {

// Appends `name` to the module's __all__ (created when absent) and sets the
// attribute. Returns -1 with an exception set on failure.
int add_name(PyObject* module, const char* name, PyObject* value);

// A new built-in function whose __self__ and __module__ are the module's.
PyObject* new_function(PyObject* module, PyMethodDef* def);

// Adds a built-in function whose __self__ is the module.
int add_function(PyObject* module, PyMethodDef* def);

// Adds the class `type` (nullptr: the failure to make it) as `class_name`,
// then each of `functions`, in that order.
int add_class_and_functions(PyObject* module, const char* class_name, PyTypeObject* type,
                            std::span<PyMethodDef> functions);

// Creates a class from its spec once per process (nullptr on failure).
PyObject* create_class_once(PyObject** slot, PyType_Spec* spec);

template <class T>
struct Holder {
  PyObject_HEAD
  T value;
};

template <class T>
T& held(PyObject* obj) {
  return reinterpret_cast<Holder<T>*>(obj)->value;
}

// The tp_dealloc of a class holding a T: destroys the value, frees the
// object and releases the heap type.
template <class T>
void dealloc_holder(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  held<T>(self).~T();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// A new instance of `type` taking over `value`; nullptr on failure.
template <class T>
PyObject* new_holder(PyTypeObject* type, T&& value) {
  if (type == nullptr) return nullptr;
  PyObject* obj = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (obj == nullptr) return nullptr;
  new (&held<T>(obj)) T(std::forward<T>(value));
  return obj;
}

inline PyObject* new_text(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction of a method table.
template <auto Fn>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn));
}

}  // namespace tallyvox::py
