// The library's DOF types: continuous Lagrange P1..P4 and the piecewise constant P0, in two
// groups, and the initialisation markers.
#include <cstdint>

#include "dof/lagrange.h"
#include "mosk.h"

namespace {

// The type of Lagrange degree p (0: the piecewise constant), its counts those of the basis the
// library builds, so the two cannot disagree.
DOF_TYPE_ lagrange_type(const char* name, int p) {
    const mosk::LagrangeBasis& b = mosk::lagrange_basis(p);
    return {name,
            int16_t(b.size),
            int16_t(b.per_vertex),
            int16_t(b.per_edge),
            int16_t(b.per_face),
            int16_t(b.per_interior),
            int16_t(p),
            int16_t(p > 0 ? 1 : 0),
            nullptr};
}

DOF_TYPE_ type_p1 = lagrange_type("P1", 1);
DOF_TYPE_ type_p2 = lagrange_type("P2", 2);
DOF_TYPE_ type_p3 = lagrange_type("P3", 3);
DOF_TYPE_ type_p4 = lagrange_type("P4", 4);
DOF_TYPE_ type_p0 = lagrange_type("P0", 0);

DOF_TYPE_* lagrange_group[] = {&type_p1, &type_p2, &type_p3, &type_p4, nullptr};
DOF_TYPE_* constant_group[] = {&type_p0, nullptr};

// The markers are distinct functions that are never called: the library recognises them by
// address (mosk::init_mode_of).
void marker_no_data(double, double, double, double*) {}
void marker_no_action(double, double, double, double*) {}
void marker_interpolation(double, double, double, double*) {}
void marker_lambda(double, double, double, double*) {}

}  // namespace

MOSK_DOF_TYPE_GROUP_ moskDofTypesList[] = {
    {lagrange_group, "lagrange"},
    {constant_group, "piecewise constant"},
    {nullptr, nullptr},
};

DOF_TYPE_* DOF_DEFAULT = &type_p1;

extern "C" MOSK_POINT_FUNC moskDofUserFuncGetPointer_(int code) {
    switch (code) {
        case 1: return marker_no_action;
        case 2: return marker_interpolation;
        case 3: return marker_lambda;
        default: return marker_no_data;
    }
}
