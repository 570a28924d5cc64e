// The module's entry: starts the library, arranges its shut-down, and registers the classes.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <mutex>

#include "element.h"
#include "element_block.h"
#include "element_iterator.h"
#include "fast_call.h"
#include "boundary.h"
#include "dof/dof.h"
#include "grid.h"
#include "map.h"
#include "solver.h"
#include "library_errors.h"
#include "module.h"
#include "sequence_argument.h"
#include "stack_argument.h"
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

void processBoundary(int n, const int* mask, const double* values, double* A, double* b) {
    // Most elements of a grid touch no Dirichlet node: nothing to change.
    if (n <= 0 || std::find_if(mask, mask + n, [](int m) { return m != 0; }) == mask + n) return;
    for (int i = 0; i < n; ++i) {
        if (mask[i]) {
            b[i] = values[i];
            continue;
        }
        for (int j = 0; j < n; ++j)
            if (mask[j]) b[i] -= A[i * n + j] * values[j];
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            if (i == j && mask[i])
                A[i * n + i] = 1.0;
            else if (mask[i] || mask[j])
                A[i * n + j] = 0.0;
        }
}

}  // namespace mosk

namespace {

void shut_down() { mosk::finalize(); }

// The element matrix or vector must be changed where the caller can see it: a writable,
// C-contiguous float64 array of at least `needed` values (anything else would be a silent copy).
double* in_place_data(const py::object& obj, size_t needed, const char* what) {
    if (!py::isinstance<py::array>(obj))
        throw py::type_error(std::string("processBoundary: ") + what +
                             " must be a NumPy float64 array (it is changed in place), not " +
                             std::string(py::str(py::type::handle_of(obj).attr("__name__"))));
    py::array a = py::reinterpret_borrow<py::array>(obj);
    if (!a.dtype().is(py::dtype::of<double>()) || !(a.flags() & py::array::c_style) ||
        !a.writeable())
        throw py::type_error(std::string("processBoundary: ") + what +
                             " must be a writable, C-contiguous float64 NumPy array (it is "
                             "changed in place)");
    if (size_t(a.size()) < needed)
        throw py::value_error(std::string("processBoundary: ") + what + " holds " +
                              std::to_string(a.size()) + " values, " + std::to_string(needed) +
                              " needed");
    return static_cast<double*>(a.mutable_data());
}

void process_boundary_binding(const mosk::SequenceArgument<int>& mask,
                              const mosk::SequenceArgument<double>& values, py::object A,
                              py::object b) {
    const size_t n = mask.size();
    if (values.size() < n)
        throw py::value_error("processBoundary: " + std::to_string(values.size()) +
                              " values for a mask of " + std::to_string(n));
    double* a = in_place_data(A, n * n, "the matrix");
    double* v = in_place_data(b, n, "the right-hand side");
    mosk::processBoundary(int(n), mask.data(), values.data(), a, v);
}

// The same for a stack of element systems: mask and values (n, N), A (n, N, N), b (n, N).
void process_boundary_stack(const mosk::StackArgument<int, 2>& mask,
                            const mosk::StackArgument<double, 2>& values, py::object A,
                            py::object b) {
    const size_t n = size_t(mask.shape(0)), rows = size_t(mask.shape(1));
    if (values.shape(0) != mask.shape(0) || values.shape(1) != mask.shape(1))
        throw py::value_error("processBoundary: values of shape " + values.shape_text() +
                              " for a mask of shape " + mask.shape_text());
    const auto shape_of = [](const py::object& o) {
        return py::isinstance<py::array>(o) ? py::reinterpret_borrow<py::array>(o) : py::array();
    };
    const py::array a = shape_of(A), r = shape_of(b);
    if (a && (a.ndim() != 3 || size_t(a.shape(0)) != n || size_t(a.shape(1)) != rows ||
              size_t(a.shape(2)) != rows))
        throw py::value_error("processBoundary: the matrices must have shape (" +
                              std::to_string(n) + ", " + std::to_string(rows) + ", " +
                              std::to_string(rows) + ") for a mask of shape " + mask.shape_text());
    if (r && (r.ndim() != 2 || size_t(r.shape(0)) != n || size_t(r.shape(1)) != rows))
        throw py::value_error("processBoundary: the right-hand sides must have shape " +
                              mask.shape_text() + " for a mask of that shape");
    double* pa = in_place_data(A, n * rows * rows, "the matrix");
    double* pb = in_place_data(b, n * rows, "the right-hand side");
    for (size_t k = 0; k < n; ++k)
        mosk::processBoundary(int(rows), mask.data() + k * rows, values.data() + k * rows,
                              pa + k * rows * rows, pb + k * rows);
}

// On several processes an uncaught exception on one would leave the others waiting in their next
// collective call: the hook prints the traceback as usual, then ends the whole job.
void install_abort_on_uncaught_exception() {
    if (moskCommSize() <= 1) return;
    py::module_ sys = py::module_::import("sys");
    py::object previous = sys.attr("excepthook");
    sys.attr("excepthook") =
        py::cpp_function([previous](py::object type, py::object value, py::object traceback) {
            previous(type, value, traceback);
            py::module_::import("sys").attr("stderr").attr("flush")();
            py::module_::import("sys").attr("stdout").attr("flush")();
            moskAbort(1);
        });
    // sys.exit with a failure status on one process would wait in the shut-down for the others,
    // which wait for it in their next collective call: it ends the whole job with that status,
    // as an uncaught exception does. A status of 0 (or None) exits as usual.
    py::object exit = sys.attr("exit");
    sys.attr("exit") = py::cpp_function(
        [exit](py::args args) {
            if (args.size() > 1) return exit(*args);  // its TypeError
            const py::object code = args.empty() ? py::object(py::none()) : args[0];
            int status = 0;
            if (PyLong_Check(code.ptr())) {
                int overflow = 0;
                const long long v = PyLong_AsLongLongAndOverflow(code.ptr(), &overflow);
                status = overflow ? 1 : int(v & 0xff);
                if (v != 0 && status == 0) status = 1;  // a multiple of 256 still fails
            } else if (!code.is_none()) {  // a message: printed, status 1 (as Python does)
                py::print(code, py::arg("file") = py::module_::import("sys").attr("stderr"));
                status = 1;
            }
            if (status == 0) return exit(*args);  // SystemExit as usual
            py::module_::import("sys").attr("stderr").attr("flush")();
            py::module_::import("sys").attr("stdout").attr("flush")();
            moskAbort(status);
            return py::object();
        },
        py::name("exit"),
        py::doc("Exit the interpreter by raising SystemExit(status); on several processes a "
                "failure status ends the whole job."));
}

}  // namespace

PYBIND11_MODULE(_pymosk, m) {
    m.doc() = "mosk python interface";
    mosk::register_library_errors();
    mosk::initialize();
    py::capsule cleanup(&shut_down);
    if (!py::hasattr(m, "_cleanup")) m.add_object("_cleanup", cleanup);
    // The capsule is the shut-down path, but the interpreter keeps a copy of a single-phase
    // module's dictionary, and after a re-import (del sys.modules[...]; import) it never frees the
    // capsule. The library is shut down at interpreter exit in any case; a second shut-down does
    // nothing.
    Py_AtExit(&shut_down);
    install_abort_on_uncaught_exception();
    // Where a script runs under MPI, without mpi4py: to let one process write its own files.
    m.def(
        "getProcessNumber", [] { return moskCommRank(); },
        "This process's number, 0 to getNumProcesses() - 1 (0 without mpirun).");
    m.def(
        "getNumProcesses", [] { return moskCommSize(); },
        "The number of processes running the script (1 without mpirun).");
    py::module_ utils = m.def_submodule("utils");
    utils.def("processBoundary", &process_boundary_binding);
    utils.def("processBoundary", &process_boundary_stack);
    mosk::fast::install<&process_boundary_binding>(utils, "processBoundary");
    mosk::ElementIterator::define(utils);
    mosk::GridHandle::define(m);
    mosk::ElementHandle::define(m);
    mosk::DofHandle::define(m);
    mosk::MapHandle::define(m);
    mosk::SolverHandle::define(m);
    mosk::ElementBlock::define(m);
}
