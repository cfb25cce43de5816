// Argument binding and conversion for the module's fast-call functions.
//
// Binding maps positional and keyword arguments onto the parameter list with the
// interpreter's own TypeError texts; each conversion failure carries the note
// "while processing '<parameter>'".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/common.hpp"

namespace qn::py {

struct Signature {
  const char* name;           ///< function name, without "()"
  const char* const* params;  ///< parameter names, in order
  int n_params;
  int n_required;  ///< the first n_required parameters are required
};

/// Binds a fast call's arguments: out[i] is a borrowed reference to the value of
/// parameter i, or null when an optional one was not given. Returns false with a
/// TypeError set when the arguments do not fit the signature.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

/// Adds the note "while processing '<param>'" to the exception being raised.
void add_processing_note(const char* param);

// Conversions: each returns false with an exception set (and the note added).
bool to_path(PyObject* obj, const char* param, std::string& out);
bool to_u64(PyObject* obj, const char* param, std::uint64_t& out);
bool to_optional_i64(PyObject* obj, const char* param, std::optional<std::int64_t>& out);
bool to_str(PyObject* obj, const char* param, std::string& out);
bool to_optional_str(PyObject* obj, const char* param, std::optional<std::string>& out);
bool to_str_list(PyObject* obj, const char* param, std::vector<std::string>& out);
bool check_dict(PyObject* obj, const char* param);

}  // namespace qn::py
