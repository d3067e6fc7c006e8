// Placeholder: the module is being written.
#include "extkit/extkit.hpp"

namespace {
void populate(PyObject*) {}
extkit::ModuleFrame frame("poolsteer", nullptr, populate);
}  // namespace

PyMODINIT_FUNC PyInit_poolsteer() { return frame.init(); }
