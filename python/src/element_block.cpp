// Element blocks: one library call per block and operation, each result one new NumPy array with
// a leading element axis. The quadrature data of one element (Element.getBasisValues, ...) is
// the block call on that element alone, without the leading axis.
#include "element_block.h"

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "dof/dirichlet.h"
#include "dof/dof.h"
#include "element.h"
#include "fast_call.h"
#include "float_array.h"
#include "map.h"
#include "solver.h"

namespace py = pybind11;

namespace mosk {

ELEMENT_** ElementBlock::get() const {
    ELEMENT_* const* es = elements.data();
    for (size_t k = 0; k < elements.size(); ++k)
        if (!moskElementIsCurrent(store_id, records[k], es[k]))
            throw std::runtime_error(
                "ElementBlock is stale: its grid was refined, re-imported or freed after the "
                "block was obtained; take new blocks from Grid.getElementBlocks");
    return const_cast<ELEMENT_**>(es);
}

ElementBlock ElementBlockIterator::next() {
    GRID_* g = grid.get();
    ElementBlock b;
    b.grid = grid;
    b.store_id = g->store_id;
    b.elements.reserve(size_t(std::min(block_size, std::max(g->nelem, 1))));
    while (int(b.elements.size()) < block_size) {
        ELEMENT_* e = _mosk_step_element(g, &cursor, 1);
        if (!e) break;
        ++cursor;
        b.elements.push_back(e);
        b.records.push_back(e->record);
    }
    if (b.elements.empty()) throw py::stop_iteration("");
    return b;
}

namespace {

DOF_* field_of(DofHandle& d, const char* what) {
    DOF_* p = d.get();
    if (!p) throw std::runtime_error(std::string("Dof ") + what + " holds no field");
    return p;
}

// A block of n elements, or one element (no leading axis).
struct Elements {
    ELEMENT_** es;
    int n;
    bool stacked;
    GRID_* grid;
};

Elements of_block(const ElementBlock& b) { return {b.get(), b.size(), true, b.grid.get()}; }

Elements of_element(ElementHandle& e, GRID_* grid) {
    // The handle's storage outlives the call; the library reads one pointer.
    thread_local ELEMENT_* one;
    one = e.get();
    return {&one, 1, false, grid};
}

template <class... Extent>
py::array_t<double> float_stack(const Elements& at, Extent... extents) {
    if (at.stacked) return new_float64_array(at.n, extents...);
    return new_float64_array(extents...);
}

using BilinearBlock = int64_t (*)(int, ELEMENT_**, DOF_*, DOF_*, DOF_*, int, double*, int64_t);

py::array_t<double> bilinear_stack(BilinearBlock op, ElementBlock& self, DofHandle& u, DofHandle& v,
                                   int order) {
    DOF_* dv = field_of(v, "v");
    DOF_* du = field_of(u, "u");
    const Elements at = of_block(self);
    const int rows = du->type->nbas, cols = dv->type->nbas;
    py::array_t<double> out = float_stack(at, rows, cols);
    op(at.n, at.es, du, nullptr, dv, order, out.mutable_data(), int64_t(at.n) * rows * cols);
    return out;
}

py::array_t<double> grad_bas_dot_grad_bas(ElementBlock& self, DofHandle& u, DofHandle& v,
                                          int order) {
    return bilinear_stack(moskQuadGradBasAGradBasBlock, self, u, v, order);
}

py::array_t<double> bas_dot_bas(ElementBlock& self, DofHandle& u, DofHandle& v, int order) {
    return bilinear_stack(moskQuadBasABasBlock, self, u, v, order);
}

// (n, dim(f), nbas(v)), each element laid out as Element.quadDofTimesBas gives it.
py::array_t<double> dof_times_bas(ElementBlock& self, DofHandle& f, DofHandle& v, int order) {
    DOF_* dv = field_of(v, "v");
    DOF_* df = field_of(f, "f");
    const Elements at = of_block(self);
    const int dim = df->dim, nb = dv->type->nbas;
    const int64_t per = int64_t(dim) * nb, total = at.n * per;
    py::array_t<double> out = float_stack(at, dim, nb);
    if (dim == 1) {  // the library's order is the array's
        moskQuadDofTimesBasBlock(at.n, at.es, df, dv, order, out.mutable_data(), total);
        return out;
    }
    std::vector<double> by_basis(static_cast<size_t>(total));
    moskQuadDofTimesBasBlock(at.n, at.es, df, dv, order, by_basis.data(), total);
    double* p = out.mutable_data();
    for (int64_t k = 0; k < at.n; ++k)
        for (int i = 0; i < nb; ++i)
            for (int c = 0; c < dim; ++c)
                p[k * per + int64_t(c) * nb + i] = by_basis[size_t(k * per + int64_t(i) * dim + c)];
    return out;
}

void require_order(int order, const char* method) {
    if (order < 0)
        throw py::value_error(std::string(method) + ": the order must be 0 or more, got " +
                              std::to_string(order));
}

py::tuple quadrature_points(const Elements& at, int order, const char* method) {
    require_order(order, method);
    const int nq = moskQuadRuleSize(order);
    py::array_t<double> points = float_stack(at, nq, 3), weights = float_stack(at, nq);
    moskQuadPointsBlock(at.grid, at.n, at.es, order, points.mutable_data(), weights.mutable_data(),
                        int64_t(at.n) * nq);
    return py::make_tuple(points, weights);
}

py::array_t<double> basis_at_points(const Elements& at, DofHandle& u, int order, bool gradients,
                                    const char* method) {
    require_order(order, method);
    DOF_* du = field_of(u, "u");
    const int nq = moskQuadRuleSize(order), nb = du->type->nbas;
    py::array_t<double> out = gradients ? float_stack(at, nq, nb, 3) : float_stack(at, nq, nb);
    double* p = out.mutable_data();
    moskQuadBasisBlock(at.n, at.es, du, order, gradients ? nullptr : p, gradients ? p : nullptr,
                       int64_t(at.n) * nq * nb);
    return out;
}

py::array_t<int> global_index(ElementBlock& self, py::object numbering, int dof_idx) {
    MAP_* map = nullptr;
    if (SolverHandle* solver = fast::object_of<SolverHandle>(numbering.ptr())) {
        const SOLVER_* s = solver->get();
        map = (s->matrix2 ? s->matrix2 : s->matrix)->map;
    } else if (MapHandle* m = fast::object_of<MapHandle>(numbering.ptr())) {
        map = m->get();
    } else {
        throw py::type_error("ElementBlock.getGlobalIndex: a Solver or a Map expected, not " +
                             std::string(py::str(py::type::handle_of(numbering).attr("__name__"))));
    }
    moskMapCheckCurrent(map, "ElementBlock.getGlobalIndex");
    DOF_* d = mosk::field_of(map, dof_idx);
    const Elements at = of_block(self);
    const int nb = d ? d->type->nbas : 0;
    py::array_t<int> out({py::ssize_t(at.n), py::ssize_t(nb)});
    moskMapBlockGlobalIndices(map, dof_idx, at.n, at.es, out.mutable_data(), int64_t(at.n) * nb);
    return out;
}

// The boundary function's values at the m points (m x 3), dim per point, into values.
void boundary_values(py::handle g, const double* points, int64_t m, int dim, bool vectorized,
                     double* values) {
    if (m == 0) return;
    if (vectorized) {
        py::array_t<double> xyz({py::ssize_t(m), py::ssize_t(3)});
        std::copy(points, points + 3 * m, xyz.mutable_data());
        py::object result = g(xyz);
        auto r = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(result);
        if (!r)
            throw py::type_error(
                "ElementBlock.getDirichletBC: the boundary function returned " +
                std::string(py::str(py::type::handle_of(result).attr("__name__"))) +
                ", not an array of numbers");
        const bool fits = (r.ndim() == 2 && r.shape(0) == m && r.shape(1) == dim) ||
                          (dim == 1 && r.ndim() == 1 && r.shape(0) == m);
        if (!fits) {
            std::string shape = "(";
            for (py::ssize_t i = 0; i < r.ndim(); ++i)
                shape += (i ? ", " : "") + std::to_string(r.shape(i));
            throw py::value_error(
                "ElementBlock.getDirichletBC: the boundary function returned shape " + shape +
                ") for " + std::to_string(m) + " points; (" + std::to_string(m) + ", " +
                std::to_string(dim) + ")" + (dim == 1 ? " or (" + std::to_string(m) + ",)" : "") +
                " expected");
        }
        std::copy(r.data(), r.data() + m * dim, values);
        return;
    }
    const PointFunction f = py::cast<PointFunction>(g);
    SlotBinding binding(dirichletFuncSlot, f, dim);
    for (int64_t j = 0; j < m; ++j)
        dirichletFuncBridge(points[3 * j], points[3 * j + 1], points[3 * j + 2], values + j * dim);
}

// (mask, values), each (n, nb * dim): entry i * dim + c is component c of basis function i, the
// layout of the field's values (a node's components consecutive).
py::tuple dirichlet_bc(ElementBlock& self, DofHandle& u, py::object g, bool vectorized) {
    DOF_* d = field_of(u, "u");
    if (!PyCallable_Check(g.ptr()))
        throw py::type_error("ElementBlock.getDirichletBC: the boundary function must be callable");
    const Elements at = of_block(self);
    const int nb = d->type->nbas, dim = std::max<int>(d->dim, 1);
    const int64_t entries = int64_t(at.n) * nb;
    std::vector<int> mask(static_cast<size_t>(entries));
    std::vector<double> points(static_cast<size_t>(entries) * 3);
    const int64_t m = moskDofDirichletBlock(d, at.n, at.es, mask.data(), points.data(), entries);
    std::vector<double> values(static_cast<size_t>(m) * dim, 0.0);
    boundary_values(g, points.data(), m, dim, vectorized, values.data());
    py::array_t<int> mask_out({py::ssize_t(at.n), py::ssize_t(nb) * dim});
    py::array_t<double> values_out = new_float64_array(at.n, int64_t(nb) * dim);
    int* mo = mask_out.mutable_data();
    double* vo = values_out.mutable_data();
    int64_t j = 0;
    for (int64_t k = 0; k < entries; ++k)
        for (int c = 0; c < dim; ++c) {
            mo[k * dim + c] = mask[size_t(k)];
            vo[k * dim + c] = mask[size_t(k)] ? values[size_t(j * dim + c)] : 0.0;
            if (mask[size_t(k)] && c == dim - 1) ++j;
        }
    return py::make_tuple(mask_out, values_out);
}

py::array_t<double> volumes(ElementBlock& self) {
    const Elements at = of_block(self);
    py::array_t<double> out = new_float64_array(at.n);
    moskGeomBlock(at.grid, at.n, at.es, out.mutable_data(), nullptr, at.n);
    return out;
}

py::array_t<double> vertex_coordinates(ElementBlock& self) {
    const Elements at = of_block(self);
    py::array_t<double> out = new_float64_array(at.n, 4, 3);
    moskGeomBlock(at.grid, at.n, at.es, nullptr, out.mutable_data(), at.n);
    return out;
}

ElementBlockIterator element_blocks(GridHandle& grid, int size) {
    if (size < 1)
        throw py::value_error("Grid.getElementBlocks: the block size must be 1 or more, got " +
                              std::to_string(size));
    grid.get();
    return ElementBlockIterator{grid, 0, size};
}

}  // namespace

void ElementBlock::define(py::module_& m) {
    py::class_<ElementBlockIterator>(m, "ElementBlockIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &ElementBlockIterator::next);
    py::class_<ElementBlock>(m, "ElementBlock")
        .def("__len__", &ElementBlock::size)
        .def("quadGradBasDotGradBas", &grad_bas_dot_grad_bas, py::arg("u"), py::arg("v"),
             py::arg("order") = -1)
        .def("quadBasDotBas", &bas_dot_bas, py::arg("u"), py::arg("v"), py::arg("order") = -1)
        .def("quadDofTimesBas", &dof_times_bas, py::arg("f"), py::arg("v"), py::arg("order") = -1)
        .def(
            "getQuadraturePoints",
            [](ElementBlock& self, int order) {
                return quadrature_points(of_block(self), order, "ElementBlock.getQuadraturePoints");
            },
            py::arg("order"))
        .def(
            "getBasisValues",
            [](ElementBlock& self, DofHandle& u, int order) {
                return basis_at_points(of_block(self), u, order, false,
                                       "ElementBlock.getBasisValues");
            },
            py::arg("u"), py::arg("order"))
        .def(
            "getBasisGradients",
            [](ElementBlock& self, DofHandle& u, int order) {
                return basis_at_points(of_block(self), u, order, true,
                                       "ElementBlock.getBasisGradients");
            },
            py::arg("u"), py::arg("order"))
        .def("getGlobalIndex", &global_index, py::arg("e"), py::arg("dof_idx") = 0)
        .def("getDirichletBC", &dirichlet_bc, py::arg("u"), py::arg("g"),
             py::arg("vectorized") = false)
        .def("getVolumes", &volumes)
        .def("getVertexCoordinates", &vertex_coordinates);

    auto grid = py::reinterpret_borrow<py::class_<GridHandle>>(m.attr("Grid"));
    grid.def("getElementBlocks", &element_blocks, py::arg("size") = 8192)
        .def(
            "geomGetQuadraturePoints",
            [](GridHandle& g, ElementHandle& e, int order) {
                return quadrature_points(of_element(e, g.get()), order,
                                         "Grid.geomGetQuadraturePoints");
            },
            py::arg("e"), py::arg("order"));
    auto element = py::reinterpret_borrow<py::class_<ElementHandle>>(m.attr("Element"));
    element
        .def(
            "getBasisValues",
            [](ElementHandle& e, DofHandle& u, int order) {
                return basis_at_points(of_element(e, nullptr), u, order, false,
                                       "Element.getBasisValues");
            },
            py::arg("u"), py::arg("order"))
        .def(
            "getBasisGradients",
            [](ElementHandle& e, DofHandle& u, int order) {
                return basis_at_points(of_element(e, nullptr), u, order, true,
                                       "Element.getBasisGradients");
            },
            py::arg("u"), py::arg("order"));
}

}  // namespace mosk
