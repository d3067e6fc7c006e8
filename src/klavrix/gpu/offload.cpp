// Placeholder: the module is being written.
#include "extkit/extkit.hpp"

namespace {
void populate(PyObject*) {}
extkit::ModuleFrame frame("offload", nullptr, populate);
}  // namespace

PyMODINIT_FUNC PyInit_offload() { return frame.init(); }
