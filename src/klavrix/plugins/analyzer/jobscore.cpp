// Placeholder: the module is being written.
#include "extkit/extkit.hpp"

namespace {
void populate(PyObject*) {}
extkit::ModuleFrame frame("jobscore", nullptr, populate);
}  // namespace

PyMODINIT_FUNC PyInit_jobscore() { return frame.init(); }
