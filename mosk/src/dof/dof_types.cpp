// The library's DOF types: continuous Lagrange P1..P4 and the piecewise constant P0, in two
// groups, and the initialisation markers.
#include "mosk.h"

namespace {

//                     name  nbas nvert nedge nface nelem order continuous
DOF_TYPE_ type_p1 = {"P1", 4, 1, 0, 0, 0, 1, 1, nullptr};
DOF_TYPE_ type_p2 = {"P2", 10, 1, 1, 0, 0, 2, 1, nullptr};
DOF_TYPE_ type_p3 = {"P3", 20, 1, 2, 1, 0, 3, 1, nullptr};
DOF_TYPE_ type_p4 = {"P4", 35, 1, 3, 3, 1, 4, 1, nullptr};
DOF_TYPE_ type_p0 = {"P0", 1, 0, 0, 0, 1, 0, 0, nullptr};

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
