// The module's entry: starts the library, arranges its shut-down, and registers the classes.
#include <pybind11/pybind11.h>

#include <mutex>

#include "element.h"
#include "element_iterator.h"
#include "dof/dof.h"
#include "grid.h"
#include "library_errors.h"
#include "module.h"
#include "mosk.h"

namespace py = pybind11;

namespace mosk {

void initialize() {
    // The library may keep and rewrite the vector, so it lives for the whole process.
    static int count = 1;
    static char** vector = new char*[count + 1];
    static char program[] = "python";
    vector[0] = program;
    vector[1] = nullptr;
    moskInit(&count, &vector);
}

void finalize() { moskFinalize(); }

}  // namespace mosk

namespace {
void shut_down() { mosk::finalize(); }
}  // namespace

PYBIND11_MODULE(_pymosk, m) {
    m.doc() = "mosk python interface";
    mosk::register_library_errors();
    mosk::initialize();
    py::capsule cleanup(&shut_down);
    if (!py::hasattr(m, "_cleanup")) m.add_object("_cleanup", cleanup);
    py::module_ utils = m.def_submodule("utils");
    mosk::ElementIterator::define(utils);
    mosk::GridHandle::define(m);
    mosk::ElementHandle::define(m);
    mosk::DofHandle::define(m);
}
