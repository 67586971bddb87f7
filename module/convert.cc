#include "module/convert.h"

#include <cmath>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/errors.h"

namespace tallyvox::py {

namespace {

using json::Value;
using Converted = std::expected<Value, ConvertError>;

ConvertError message(std::string text) { return ConvertError{std::move(text), false}; }
ConvertError from_exception() { return ConvertError{take_exception_message(), false}; }

std::unexpected<ConvertError> fail(std::string text) { return std::unexpected(message(std::move(text))); }
std::unexpected<ConvertError> fail_exception() { return std::unexpected(from_exception()); }

std::string unexpected_type(PyObject* obj, const char* expected) {
  return "unexpected type: " + not_instance_message(obj, expected);
}

// Enters one level of nesting: the interpreter's guard, then ours.
class Nesting {
 public:
  explicit Nesting(int& depth) : depth_(depth) {}
  bool enter() {
    if (Py_EnterRecursiveCall(" while converting a value to JSON") != 0) return false;
    entered_ = true;
    if (++depth_ > kMaxNesting) {
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while converting a value to JSON");
      return false;
    }
    return true;
  }
  ~Nesting() {
    if (entered_) {
      --depth_;
      Py_LeaveRecursiveCall();
    }
  }

 private:
  int& depth_;
  bool entered_ = false;
};

std::unexpected<ConvertError> fail_nesting() {
  return std::unexpected(ConvertError{std::string(), true});
}

// Step 1: no float reachable through dicts, lists and tuples may be NaN or
// infinite. Runs no Python code.
bool all_finite(PyObject* obj, int depth) {
  if (depth > kMaxNesting) return true;  // the conversion reports the nesting
  if (PyFloat_Check(obj)) return std::isfinite(PyFloat_AsDouble(obj));
  unsigned long flags = PyType_GetFlags(Py_TYPE(obj));
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (!all_finite(value, depth + 1)) return false;
    }
  } else if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
    for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
      if (!all_finite(PyList_GetItem(obj, i), depth + 1)) return false;
    }
  } else if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) {
    for (Py_ssize_t i = 0; i < PyTuple_Size(obj); ++i) {
      if (!all_finite(PyTuple_GetItem(obj, i), depth + 1)) return false;
    }
  }
  return true;
}

class Converter {
 public:
  Converted convert(PyObject* obj);

 private:
  Converted integer(PyObject* obj);
  Converted sequence(PyObject* obj);
  Converted iterable(PyObject* obj);
  Converted mapping(PyObject* obj);
  Converted dataclass(PyObject* obj, PyObject* fields);
  bool is_instance(PyObject* obj, PyObject* cls);
  std::expected<std::string, ConvertError> key_text(PyObject* key);

  int depth_ = 0;
};

PyObject* abc_class(const char* name) {
  static PyObject* sequence = nullptr;
  static PyObject* mapping = nullptr;
  PyObject*& slot = name[0] == 'S' ? sequence : mapping;
  if (slot == nullptr) {
    PyObject* module_name = PyUnicode_FromString("collections.abc");
    if (module_name == nullptr) return nullptr;
    PyObject* module = PyImport_Import(module_name);
    Py_DECREF(module_name);
    if (module == nullptr) return nullptr;
    PyObject* cls = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
    if (cls == nullptr) return nullptr;
    if (slot == nullptr) {
      slot = cls;  // kept for the life of the process
    } else {
      Py_DECREF(cls);
    }
  }
  return slot;
}

// Attribute `__dataclass_fields__`, or nullptr when absent (any lookup
// failure counts as absent).
PyObject* dataclass_fields(PyObject* obj) {
  PyObject* fields = PyObject_GetAttrString(obj, "__dataclass_fields__");
  if (fields == nullptr) PyErr_Clear();
  return fields;
}

bool Converter::is_instance(PyObject* obj, PyObject* cls) {
  int r = PyObject_IsInstance(obj, cls);
  if (r < 0) {
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return r == 1;
}

std::expected<std::string, ConvertError> Converter::key_text(PyObject* key) {
  if (!PyUnicode_Check(key)) return fail(unexpected_type(key, "str"));
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(key, &n);
  if (s == nullptr) return fail_exception();
  return std::string(s, static_cast<std::size_t>(n));
}

Converted Converter::convert(PyObject* obj) {
  if (obj == Py_None) return Value();
  if (Py_IS_TYPE(obj, &PyBool_Type)) return Value(obj == Py_True);
  unsigned long flags = PyType_GetFlags(Py_TYPE(obj));
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return integer(obj);
  if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) return sequence(obj);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return mapping(obj);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (s == nullptr) return fail_exception();
    return Value(std::string(s, static_cast<std::size_t>(n)));
  }
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
    return fail("invalid type: byte array, expected any valid JSON value");
  }
  if (PyObject_TypeCheck(obj, &PyByteArray_Type)) return fail(unexpected_type(obj, "bytes"));
  if (PyFloat_Check(obj)) return Value::real(PyFloat_AsDouble(obj));
  if (PyAnySet_Check(obj)) return iterable(obj);

  PyObject* seq_cls = abc_class("Sequence");
  PyObject* map_cls = seq_cls != nullptr ? abc_class("Mapping") : nullptr;
  if (map_cls == nullptr) return fail_exception();
  if (is_instance(obj, seq_cls)) return sequence(obj);
  if (is_instance(obj, map_cls)) return mapping(obj);
  if (PyObject* fields = dataclass_fields(obj)) {
    Converted result = dataclass(obj, fields);
    Py_DECREF(fields);
    return result;
  }

  std::string name = "unknown";
  if (PyObject* qualname = PyType_GetQualName(Py_TYPE(obj))) {
    Py_ssize_t n;
    if (const char* s = PyUnicode_AsUTF8AndSize(qualname, &n)) name.assign(s, n);
    Py_DECREF(qualname);
  }
  PyErr_Clear();
  return fail("unsupported type " + name);
}

Converted Converter::integer(PyObject* obj) {
  if (PyLong_CheckExact(obj)) {
    // A plain int within 64 bits reads the same by the shorter way.
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0 && !(small == -1 && PyErr_Occurred())) {
      return small >= 0 ? Value::uint(static_cast<std::uint64_t>(small)) : Value::integer(small);
    }
    PyErr_Clear();
  }

  // Read as a 128-bit integer: the low 64 bits by mask, the high 64 bits from
  // `value >> 64`, first unsigned and then signed.
  unsigned long long low = PyLong_AsUnsignedLongLongMask(obj);
  if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_exception();
  PyObject* shift = PyLong_FromLong(64);
  if (shift == nullptr) return fail_exception();
  PyObject* high_obj = PyNumber_Rshift(obj, shift);
  Py_DECREF(shift);
  if (high_obj == nullptr) return fail_exception();

  std::uint64_t high_u;
  bool unsigned_ok;
  {
    if (PyLong_Check(high_obj)) {
      high_u = PyLong_AsUnsignedLongLong(high_obj);
    } else if (PyObject* index = PyNumber_Index(high_obj)) {
      high_u = PyLong_AsUnsignedLongLong(index);
      Py_DECREF(index);
    } else {
      high_u = static_cast<std::uint64_t>(-1);
    }
    unsigned_ok = !(high_u == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
  }
  if (unsigned_ok) {
    Py_DECREF(high_obj);
    if (high_u == 0) return Value::uint(low);
    return fail("JSON number out of range");
  }
  PyErr_Clear();
  long high_s = PyLong_AsLong(high_obj);
  Py_DECREF(high_obj);
  if (high_s == -1 && PyErr_Occurred()) return fail_exception();
  // value = high * 2^64 + low; it lies in the negative 64-bit range exactly
  // when the high word is all ones and the low word has its top bit set.
  if (high_s == -1 && (low >> 63) == 1) return Value::integer(static_cast<std::int64_t>(low));
  return fail("JSON number out of range");
}

Converted Converter::sequence(PyObject* obj) {
  Nesting nesting(depth_);
  if (!nesting.enter()) return fail_nesting();
  Py_ssize_t n = PyObject_Size(obj);
  if (n < 0) return fail_exception();
  json::Array items;
  items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(obj, i);
    if (item == nullptr) return fail_exception();
    Converted value = convert(item);
    Py_DECREF(item);
    if (!value) return value;
    items.push_back(std::move(*value));
  }
  return Value(std::move(items));
}

Converted Converter::iterable(PyObject* obj) {
  Nesting nesting(depth_);
  if (!nesting.enter()) return fail_nesting();
  PyObject* it = PyObject_GetIter(obj);
  if (it == nullptr) return fail_exception();
  json::Array items;
  while (PyObject* item = PyIter_Next(it)) {
    Converted value = convert(item);
    Py_DECREF(item);
    if (!value) {
      Py_DECREF(it);
      return value;
    }
    items.push_back(std::move(*value));
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) return fail_exception();
  return Value(std::move(items));
}

Converted Converter::mapping(PyObject* obj) {
  // A plain dict has no `__dataclass_fields__`: skip the failing lookup.
  PyObject* fields = PyDict_CheckExact(obj) ? nullptr : dataclass_fields(obj);
  if (fields != nullptr) {
    Converted result = dataclass(obj, fields);
    Py_DECREF(fields);
    return result;
  }
  Nesting nesting(depth_);
  if (!nesting.enter()) return fail_nesting();

  // Keys and values are taken once, before any value is converted, so that
  // Python code run by a conversion cannot change what is being read.
  PyObject* keys = PyMapping_Keys(obj);
  if (keys == nullptr) return fail_exception();
  PyObject* values = PyMapping_Values(obj);
  if (values == nullptr) {
    Py_DECREF(keys);
    return fail_exception();
  }
  Py_ssize_t n = PyMapping_Size(obj);
  bool unique = PyDict_CheckExact(obj);
  json::Object members;
  members.reserve(n > 0 ? static_cast<std::size_t>(n) : 0);
  Converted result = Value();
  for (Py_ssize_t i = 0; i < n && result; ++i) {
    PyObject* key = PySequence_GetItem(keys, i);
    PyObject* item = key != nullptr ? PySequence_GetItem(values, i) : nullptr;
    if (item == nullptr) {
      result = fail_exception();
    } else if (auto text = key_text(key); !text) {
      result = std::unexpected(std::move(text.error()));
    } else if (Converted value = convert(item); !value) {
      result = std::move(value);
    } else if (unique) {
      members.append_unique(std::move(*text), std::move(*value));
    } else {
      members.insert(std::move(*text), std::move(*value));
    }
    Py_XDECREF(key);
    Py_XDECREF(item);
  }
  if (n < 0) result = fail_exception();
  Py_DECREF(keys);
  Py_DECREF(values);
  if (!result) return result;
  return Value(std::move(members));
}

Converted Converter::dataclass(PyObject* obj, PyObject* fields) {
  if (!PyDict_Check(fields)) return fail(unexpected_type(fields, "dict"));
  Nesting nesting(depth_);
  if (!nesting.enter()) return fail_nesting();
  PyObject* names = PyDict_Keys(fields);
  if (names == nullptr) return fail_exception();
  PyObject* attrs = PyObject_GetAttrString(obj, "__dict__");
  if (attrs == nullptr) {
    Py_DECREF(names);
    return fail_exception();
  }
  Converted result = Value();
  json::Object members;
  if (!PyDict_Check(attrs)) result = fail(unexpected_type(attrs, "dict"));
  for (Py_ssize_t i = 0; result && i < PyList_Size(names); ++i) {
    PyObject* name = PyList_GetItem(names, i);
    auto text = key_text(name);
    if (!text) {
      result = std::unexpected(std::move(text.error()));
      break;
    }
    PyObject* item = PyDict_GetItemWithError(attrs, name);  // borrowed
    if (item == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
      result = fail_exception();
      break;
    }
    Py_INCREF(item);
    Converted value = convert(item);
    Py_DECREF(item);
    if (!value) {
      result = std::move(value);
      break;
    }
    members.insert(std::move(*text), std::move(*value));
  }
  Py_DECREF(names);
  Py_DECREF(attrs);
  if (!result) return result;
  return Value(std::move(members));
}

}  // namespace

std::expected<json::Value, ConvertError> to_json_value(PyObject* obj) {
  if (!all_finite(obj, 0)) return fail("non-finite float (NaN or Infinity) cannot be signed");
  return Converter().convert(obj);
}

PyObject* raise_convert_error(const ConvertError& error) {
  if (error.exception_set) return nullptr;
  return raise_signing_error(error.message);
}

namespace {

PyObject* python_value(const json::Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null: Py_RETURN_NONE;
    case Value::Kind::Bool: return PyBool_FromLong(value.as_bool());
    case Value::Kind::UInt: return PyLong_FromUnsignedLongLong(value.as_uint());
    case Value::Kind::NegInt: return PyLong_FromLongLong(value.as_negint());
    case Value::Kind::Float: return PyFloat_FromDouble(value.as_float());
    case Value::Kind::String: {
      const std::string& s = value.as_string();
      return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
    case Value::Kind::Array: {
      const json::Array& items = value.as_array();
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
      if (list == nullptr) return nullptr;
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = python_value(items[i]);
        if (item == nullptr) {
          Py_DECREF(list);
          return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
      }
      return list;
    }
    case Value::Kind::Object: {
      PyObject* dict = PyDict_New();
      if (dict == nullptr) return nullptr;
      for (const auto& [key, member] : value.as_object()) {
        PyObject* k = PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
        PyObject* v = k != nullptr ? python_value(member) : nullptr;
        int rc = v != nullptr ? PyDict_SetItem(dict, k, v) : -1;
        Py_XDECREF(k);
        Py_XDECREF(v);
        if (rc < 0) {
          Py_DECREF(dict);
          return nullptr;
        }
      }
      return dict;
    }
  }
  return nullptr;
}

}  // namespace

std::expected<PyObject*, std::string> to_python_value(const json::Value& value) {
  PyObject* obj = python_value(value);
  if (obj == nullptr) return std::unexpected(take_exception_message());
  return obj;
}

}  // namespace tallyvox::py
