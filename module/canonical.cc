// canonical_json: a direct encoder for plain builtin values, and the general
// conversion for everything else.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/canonical.h"
#include "core/json/write.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"

namespace tallyvox::py {

namespace {

// Deeper plain values take the general path, which guards the nesting.
constexpr int kPlainDepth = 64;

struct Entry {
  std::uint64_t prefix;  // the first eight key bytes, big-endian, zero padded
  const char* key;
  std::size_t size;
  PyObject* value;
};

std::uint64_t key_prefix(const char* key, std::size_t size) {
  std::uint64_t word = 0;
  if (size >= 8) {
    std::memcpy(&word, key, 8);
  } else {
    for (std::size_t i = 0; i < size; ++i) word |= std::uint64_t{static_cast<unsigned char>(key[i])} << (8 * i);
  }
  return __builtin_bswap64(word);  // little-endian load, compared as big-endian
}

// Key order is the order of the UTF-8 bytes; most keys differ in their
// first eight bytes.
bool key_less(const Entry& a, const Entry& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  int c = std::memcmp(a.key, b.key, std::min(a.size, b.size));
  return c != 0 ? c < 0 : a.size < b.size;
}

bool encode_plain(PyObject* obj, Buffer& out, int depth);

// The UTF-8 of an exact str; false (with no exception left) for a str that
// has none, such as one holding a lone surrogate.
bool plain_text(PyObject* str, std::string_view& text) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool encode_plain_dict(PyObject* dict, Buffer& out, int depth) {
  constexpr std::size_t kInline = 16;
  Entry inline_entries[kInline];
  std::vector<Entry> heap_entries;
  Py_ssize_t n = PyDict_Size(dict);
  Entry* entries = inline_entries;
  if (static_cast<std::size_t>(n) > kInline) {
    heap_entries.resize(static_cast<std::size_t>(n));
    entries = heap_entries.data();
  }
  Py_ssize_t pos = 0, i = 0;
  PyObject *key, *value;
  std::string_view text;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key) || !plain_text(key, text)) return false;
    entries[i++] = Entry{key_prefix(text.data(), text.size()), text.data(), text.size(), value};
  }
  std::sort(entries, entries + i, key_less);
  out.push_back('{');
  for (Py_ssize_t k = 0; k < i; ++k) {
    if (k) out.push_back(',');
    json::write_string(out, std::string_view(entries[k].key, entries[k].size));
    out.push_back(':');
    if (!encode_plain(entries[k].value, out, depth + 1)) return false;
  }
  out.push_back('}');
  return true;
}

// An exact int: within 64 bits signed, or else unsigned.
bool encode_plain_int(PyObject* obj, Buffer& out) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0) {
    if (v >= 0) {
      json::write_uint(out, static_cast<std::uint64_t>(v));
    } else {
      json::write_negint(out, v);
    }
    return true;
  }
  unsigned long long u = PyLong_AsUnsignedLongLong(obj);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  json::write_uint(out, u);
  return true;
}

bool encode_plain_sequence(PyObject* obj, Buffer& out, int depth) {
  bool list = PyList_CheckExact(obj);
  Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
  out.push_back('[');
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i) out.push_back(',');
    PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    if (!encode_plain(item, out, depth + 1)) return false;
  }
  out.push_back(']');
  return true;
}

// Encodes None, bool, int within 64 bits, finite float, str, and lists,
// tuples and dicts of those, all of exactly the builtin types. Runs no Python
// code, so giving up halfway and starting over on the general path cannot be
// observed. Returns false to give up.
bool encode_plain(PyObject* obj, Buffer& out, int depth) {
  if (depth > kPlainDepth) return false;
  if (PyUnicode_CheckExact(obj)) {
    std::string_view text;
    if (!plain_text(obj, text)) return false;
    json::write_string(out, text);
    return true;
  }
  if (PyLong_CheckExact(obj)) return encode_plain_int(obj, out);
  if (PyDict_CheckExact(obj)) return encode_plain_dict(obj, out, depth);
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return encode_plain_sequence(obj, out, depth);
  if (PyFloat_CheckExact(obj)) {
    double d = PyFloat_AsDouble(obj);
    if (!std::isfinite(d)) return false;
    json::write_float(out, d);
    return true;
  }
  if (obj == Py_None) {
    out.append("null");
    return true;
  }
  if (obj == Py_True || obj == Py_False) {
    out.append(obj == Py_True ? "true" : "false");
    return true;
  }
  return false;
}

// One encoding buffer per thread, reused between calls.
Buffer& buffer() {
  thread_local Buffer out;
  return out;
}

PyObject* canonical_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"value"};
    static const Signature sig{"canonical_json()", positional, 1, 1, nullptr, 0};
    PyObject* value;
    if (!bind(sig, args, nargs, kwnames, &value)) return nullptr;

    Buffer& out = buffer();
    out.clear();
    if (!encode_plain(value, out, 0)) {
      auto converted = to_json_value(value);
      if (!converted) return raise_convert_error(converted.error());
      out.clear();  // Python code run by the conversion may have used it
      json::write_canonical_json(out, *converted);
    }
    PyObject* bytes = PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    out.trim(std::size_t{1} << 20);
    return bytes;
  });
}

}  // namespace

PyMethodDef canonical_json_def = {
    "canonical_json", fastcall<canonical_json>(), METH_FASTCALL | METH_KEYWORDS,
    "canonical_json(value)\n--\n\nEncode a JSON-able Python value to canonical-JSON bytes: sorted "
    "object keys,\nno whitespace, fixed escapes, non-ASCII as raw UTF-8."};

}  // namespace tallyvox::py
