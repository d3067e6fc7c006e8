// Placeholder: the module is being written.
#include "extkit/extkit.hpp"

namespace {
void populate(PyObject*) {}
extkit::ModuleFrame frame("slabworks", nullptr, populate);
}  // namespace

PyMODINIT_FUNC PyInit_slabworks() { return frame.init(); }
