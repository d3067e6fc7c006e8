// Placeholder: the module is being written.
#include "extkit/extkit.hpp"

namespace {
void populate(PyObject*) {}
extkit::ModuleFrame frame("hostprobe", nullptr, populate);
}  // namespace

PyMODINIT_FUNC PyInit_hostprobe() { return frame.init(); }
