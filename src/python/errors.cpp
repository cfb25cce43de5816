#include "python/errors.hpp"

namespace qn::py {
namespace {

PyObject* g_panic = nullptr;

PyObject* class_for(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kInvalidInput: return PyExc_ValueError;
    case ErrorKind::kNotFound: return PyExc_FileNotFoundError;
    case ErrorKind::kPermissionDenied: return PyExc_PermissionError;
    case ErrorKind::kConnectionRefused: return PyExc_ConnectionRefusedError;
    case ErrorKind::kConnectionReset: return PyExc_ConnectionResetError;
    case ErrorKind::kConnectionAborted: return PyExc_ConnectionAbortedError;
    case ErrorKind::kBrokenPipe: return PyExc_BrokenPipeError;
    case ErrorKind::kAlreadyExists: return PyExc_FileExistsError;
    case ErrorKind::kWouldBlock: return PyExc_BlockingIOError;
    case ErrorKind::kNotADirectory: return PyExc_NotADirectoryError;
    case ErrorKind::kIsADirectory: return PyExc_IsADirectoryError;
    case ErrorKind::kTimedOut: return PyExc_TimeoutError;
    case ErrorKind::kInterrupted: return PyExc_InterruptedError;
    case ErrorKind::kOutOfMemory: return PyExc_MemoryError;
    case ErrorKind::kPoolFailed: return PyExc_RuntimeError;
    case ErrorKind::kCancelled: return PyExc_KeyboardInterrupt;
    case ErrorKind::kPanic:
    case ErrorKind::kOther: break;
  }
  return PyExc_OSError;
}

// Builds cls(text) from UTF-8 text, replacing anything that does not decode.
PyObject* instance(PyObject* cls, const std::string& text) {
  Ref msg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!msg) return nullptr;
  return PyObject_CallFunctionObjArgs(cls, msg.get(), nullptr);
}

void set_from(PyObject* cls, const std::string& text) {
  Ref exc(instance(cls, text));
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

}  // namespace

std::string type_qualname(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (s != nullptr) return std::string(s, static_cast<std::size_t>(n));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

bool init_panic_exception() {
  if (g_panic != nullptr) return true;
  g_panic = PyErr_NewExceptionWithDoc(
      "quillon_native.PanicException",
      "A broken invariant inside quillon_native: a bug, never a property of the input.",
      PyExc_BaseException, nullptr);
  return g_panic != nullptr;
}

PyObject* panic_exception() noexcept { return g_panic; }

bool signal_raised(void* context) noexcept {
  auto* saved = static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(*saved);
  const bool raised = PyErr_CheckSignals() != 0;
  *saved = PyEval_SaveThread();
  return raised;
}

void raise_error(const Error& error) noexcept {
  try {
    if (error.kind == ErrorKind::kPanic && g_panic != nullptr) {
      set_from(g_panic, error.display());
    } else {
      set_from(class_for(error.kind), error.display());
    }
  } catch (...) {
    PyErr_NoMemory();  // only building the message text can throw
  }
}

void raise_current_exception() noexcept { raise_error(error_from_current_exception()); }

}  // namespace qn::py
