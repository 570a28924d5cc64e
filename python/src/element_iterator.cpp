#include "element_iterator.h"

#include <memory>

#include "fast_call.h"

namespace py = pybind11;

namespace mosk {

ELEMENT_* ElementIterator::step() {
    ELEMENT_* e = _mosk_step_element(grid.get(), &cursor, flag);
    current = stamped_element(e, grid.get());
    return e;
}

ElementHandle ElementIterator::next_element() {
    if (!step()) throw py::stop_iteration("");
    ++cursor;
    return ElementHandle{current};
}

void ElementIterator::init(GridHandle& g, int f) {
    grid = g;
    flag = f;
    cursor = 0;
    step();
}

bool ElementIterator::hasNext() { return step() != nullptr; }

namespace {

ElementHandle iterator_next(ElementIterator& it) { return it.next_element(); }

}  // namespace

void ElementIterator::define(py::module_& m) {
    py::class_<ElementIterator, std::shared_ptr<ElementIterator>>(m, "ElementIterator")
        .def(py::init<GridHandle&, int>())
        .def("hasNext", &ElementIterator::hasNext)
        .def("next", &ElementIterator::next)
        .def("getElement", &ElementIterator::getElement)
        .def("__next__", &iterator_next)
        // The object itself, as Python's iterators do: a loop that ran to the end leaves it
        // exhausted (a new pass needs a new iterator).
        // (a reference to a registered object comes back as that Python object).
        .def(
            "__iter__", [](ElementIterator& it) -> ElementIterator& { return it; },
            py::return_value_policy::reference);
    fast::install<&iterator_next>(m.attr("ElementIterator"), "__next__");
}

}  // namespace mosk
