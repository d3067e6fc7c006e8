// The module frame shared by every extension module: multi-phase initialisation, one
// interpreter per process, one initialisation per process, and the helpers that bind imports,
// objects and the module logger in the order each module defines them.
//
//   void populate(PyObject* module) { ... }            // may throw PythonError
//   extkit::ModuleFrame frame("interlock", doc, populate);
//   PyMODINIT_FUNC PyInit_interlock() { return frame.init(); }
//
// The classes of a module are static state of its shared library, so the library serves one
// interpreter only: loading it into a second one raises ImportError. The create slot hands back
// the module already initialised, and executing the frame again with that module is a no-op;
// executing it with any other module object raises RuntimeError.
#pragma once

#include <initializer_list>
#include <type_traits>

#include "extkit/convert.hpp"
#include "extkit/object.hpp"
#include "extkit/ref.hpp"

namespace extkit {

class ModuleFrame {
 public:
  using Populate = void (*)(PyObject* module);

  ModuleFrame(const char* short_name, const char* doc, Populate populate)
      : short_name_(short_name), populate_(populate) {
    instance() = this;
    slots_[0] = {Py_mod_create, reinterpret_cast<void*>(&ModuleFrame::create)};
    slots_[1] = {Py_mod_exec, reinterpret_cast<void*>(&ModuleFrame::exec)};
    slots_[2] = {0, nullptr};
    def_ = {PyModuleDef_HEAD_INIT, short_name, doc, 0, nullptr, slots_, nullptr, nullptr, nullptr};
  }
  ModuleFrame(const ModuleFrame&) = delete;
  ModuleFrame& operator=(const ModuleFrame&) = delete;

  PyObject* init() { return PyModuleDef_Init(&def_); }

  // The module being populated or already initialised (borrowed; the frame keeps it for the
  // life of the process).
  static PyObject* module() {
    PyObject* module = instance()->module_;
    if (module == nullptr) raise(PyExc_SystemError, "extension module used before its initialisation");
    return module;
  }

 private:
  // Each extension library defines exactly one frame. The exec slot may be handed any module
  // object (PyModule_ExecDef), even one without a definition, so the frame is found here.
  static ModuleFrame*& instance() {
    static ModuleFrame* frame = nullptr;
    return frame;
  }

  static PyObject* create(PyObject* spec, PyModuleDef*) {
    ModuleFrame& frame = *instance();
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (frame.interpreter_ < 0) {
      frame.interpreter_ = interpreter;
    } else if (frame.interpreter_ != interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "Interpreter change detected - this module can only be loaded into one interpreter per process.");
      return nullptr;
    }
    if (frame.module_ != nullptr) return Py_NewRef(frame.module_);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
  }

  static int exec(PyObject* module) {
    ModuleFrame& frame = *instance();
    if (frame.module_ != nullptr) {
      if (frame.module_ == module) return 0;
      PyErr_Format(PyExc_RuntimeError,
                   "Module '%s' has already been imported. Re-initialisation is not supported.", frame.short_name_);
      return -1;
    }
    frame.module_ = Py_NewRef(module);
    const int status = guarded_status([&] { frame.populate_(module); });
    if (status < 0) Py_CLEAR(frame.module_);  // a later import may try again from scratch
    return status;
  }

  PyModuleDef def_;
  PyModuleDef_Slot slots_[3];
  const char* short_name_;
  Populate populate_;
  PyObject* module_ = nullptr;  // the initialised module, kept for the life of the process
  int64_t interpreter_ = -1;
};

// ---------------------------------------------------------------------------------------------
// Populating a module

// module.<name> = value
inline void bind(PyObject* module, const char* name, PyObject* value) {
  check(PyModule_AddObjectRef(module, name, value));
}

// `import name` as a module global.
inline Ref bind_import(PyObject* module, const char* name) {
  Ref imported = import_module(name);
  bind(module, name, imported.get());
  return imported;
}

// `from source import a, b, ...` (absolute) as module globals.
inline void bind_from(PyObject* module, const char* source, std::initializer_list<const char*> names) {
  Ref imported = import_module(source);
  for (const char* name : names) {
    Ref value = checked(PyObject_GetAttrString(imported.get(), name));
    bind(module, name, value.get());
  }
}

// `from <level dots><source> import name`, relative to the package of `module`; returns the
// object without binding it.
inline Ref import_relative(PyObject* module, const char* source, const char* name, int level) {
  Ref source_name = checked(PyUnicode_FromString(source));
  Ref from_list = checked(Py_BuildValue("(s)", name));
  Ref imported = checked(
      PyImport_ImportModuleLevelObject(source_name.get(), PyModule_GetDict(module), nullptr, from_list.get(), level));
  PyObject* value = PyObject_GetAttrString(imported.get(), name);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    // As the `from ... import` statement reports a missing name.
    PyErr_Clear();
    Ref module_name = checked(PyModule_GetNameObject(imported.get()));
    raise_format(PyExc_ImportError, "cannot import name '%s' from '%U'", name, module_name.get());
  }
  return checked(value);
}

// module.<name> = value, for constants given as native values (int, float, bool, str).
template <class Value>
void add_constant(PyObject* module, const char* name, Value value) {
  if constexpr (std::is_convertible_v<Value, const char*>) {
    bind(module, name, py_str(value).get());
  } else {
    bind(module, name, to_python(value).get());
  }
}

// `logger = logging.getLogger(__name__)` with the `logging` module the caller imported; returns
// the logger.
inline Ref bind_logger(PyObject* module, PyObject* logging) {
  Ref name = checked(PyModule_GetNameObject(module));
  Ref logger = checked(PyObject_CallMethodOneArg(logging, "getLogger"_name.get(), name.get()));
  bind(module, "logger", logger.get());
  return logger;
}

// `import logging; logger = logging.getLogger(__name__)`: binds both names and returns the logger.
inline Ref bind_logger(PyObject* module) { return bind_logger(module, bind_import(module, "logging").get()); }

inline void log_info(PyObject* logger, const char* message) {
  Ref text = py_str(message);
  Ref result = checked(PyObject_CallMethodOneArg(logger, "info"_name.get(), text.get()));
}

// The load line most modules end their initialisation with: binds `logging` and `logger` and
// logs `message` at INFO. Returns the logger.
inline Ref log_loaded(PyObject* module, const char* message) {
  Ref logger = bind_logger(module);
  log_info(logger.get(), message);
  return logger;
}

}  // namespace extkit
