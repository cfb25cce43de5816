#include "python/args.hpp"

#include <cstring>

namespace qn::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool utf8_of(PyObject* str, std::string& out) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (s == nullptr) return false;
  out.assign(s, static_cast<std::size_t>(n));
  return true;
}

bool fail(const char* param) {
  add_processing_note(param);
  return false;
}

void type_error_not_instance(PyObject* obj, const char* expected) {
  const std::string type = type_qualname(obj);
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type.c_str(), expected);
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  for (int i = 0; i < sig.n_params; ++i) out[i] = nullptr;
  if (nargs > sig.n_params) {
    PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given",
                 sig.name, sig.n_required, sig.n_params, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GetItem(kwnames, j);
    if (key == nullptr) return false;
    int found = -1;
    for (int i = 0; i < sig.n_params; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
        found = i;
        break;
      }
    }
    if (found < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      return false;
    }
    if (out[found] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                   sig.params[found]);
      return false;
    }
    out[found] = args[nargs + j];
  }
  std::vector<const char*> missing;
  for (int i = 0; i < sig.n_required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (!missing.empty()) {
    const std::string names = quoted_list(missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", sig.name,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

void add_processing_note(const char* param) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  if (value != nullptr) {
    PyObject* r = PyObject_CallMethod(value, "add_note", "s",
                                      ("while processing '" + std::string(param) + "'").c_str());
    if (r == nullptr) {
      PyErr_Clear();  // no add_note on this interpreter: raise without the note
    } else {
      Py_DECREF(r);
    }
  }
  PyErr_Restore(type, value, tb);
}

bool to_path(PyObject* obj, const char* param, std::string& out) {
  Ref fs(PyOS_FSPath(obj));
  if (!fs) return fail(param);
  if (!PyUnicode_Check(fs.get())) {
    type_error_not_instance(fs.get(), "str");
    return fail(param);
  }
  Ref encoded(PyUnicode_EncodeFSDefault(fs.get()));
  if (!encoded) return fail(param);
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &n) != 0) return fail(param);
  if (std::memchr(data, '\0', static_cast<std::size_t>(n)) != nullptr) {
    // The operating system would silently stop at the NUL and use another file.
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return fail(param);
  }
  out.assign(data, static_cast<std::size_t>(n));
  return true;
}

bool to_u64(PyObject* obj, const char* param, std::uint64_t& out) {
  Ref index(PyNumber_Index(obj));
  if (!index) return fail(param);
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(param);
  out = v;
  return true;
}

bool to_optional_i64(PyObject* obj, const char* param, std::optional<std::int64_t>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  Ref index(PyNumber_Index(obj));
  if (!index) return fail(param);
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return fail(param);
  out = v;
  return true;
}

bool to_str(PyObject* obj, const char* param, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    type_error_not_instance(obj, "str");
    return fail(param);
  }
  return utf8_of(obj, out) || fail(param);
}

bool to_optional_str(PyObject* obj, const char* param, std::optional<std::string>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::string s;
  if (!to_str(obj, param, s)) return false;
  out = std::move(s);
  return true;
}

bool to_str_list(PyObject* obj, const char* param, std::vector<std::string>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "a str is not taken as a sequence of str; pass a list of str");
    return fail(param);
  }
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      type_error_not_instance(obj, "Sequence");
    }
    return fail(param);
  }
  out.clear();
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(obj, i));
    if (!item) return fail(param);
    if (!PyUnicode_Check(item.get())) {
      type_error_not_instance(item.get(), "str");
      return fail(param);
    }
    std::string s;
    if (!utf8_of(item.get(), s)) return fail(param);
    out.push_back(std::move(s));
  }
  return true;
}

bool check_dict(PyObject* obj, const char* param) {
  if (PyDict_Check(obj)) return true;
  type_error_not_instance(obj, "dict");
  return fail(param);
}

}  // namespace qn::py
