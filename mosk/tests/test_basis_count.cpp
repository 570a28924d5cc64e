// The module's basis-count rule, on records built by hand: the fixed-type branch and the
// variable-order branch (a field whose order varies by vertex, edge, face and element).
#include <gtest/gtest.h>

#include "../../python/src/dof/basis_count.h"

namespace {

TEST(BasisCount, FixedTypeUsesTheTypeCount) {
    DOF_TYPE_ p3{"P3", 20, 1, 2, 1, 0, 3, 1, nullptr};
    DOF_ d{};
    d.type = &p3;
    ELEMENT_ e{};
    EXPECT_EQ(mosk::basis_count(&d, &e), 20);
}

TEST(BasisCount, VariableOrderSumsPerEntityCountsOfTheEntityOrders) {
    DOF_TYPE_ p1{"P1", 4, 1, 0, 0, 0, 1, 1, nullptr};
    DOF_TYPE_ p2{"P2", 10, 1, 1, 0, 0, 2, 1, nullptr};
    DOF_TYPE_ p4{"P4", 35, 1, 3, 3, 1, 4, 1, nullptr};
    DOF_TYPE_* by_order[5] = {nullptr, &p1, &p2, nullptr, &p4};
    unsigned char vert_order[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    unsigned char edge_order[10] = {1, 2, 4, 2, 1, 1, 4, 1, 1, 1};
    unsigned char face_order[6] = {4, 1, 1, 4, 1, 2};
    unsigned char elem_order[3] = {1, 4, 2};
    for (int mask : {0, 1, 2, 4, 7}) {
        MOSK_DOF_FAMILY_ family{by_order, mask};
        MOSK_DOF_VARIABLE_ORDER_ vo{&family, vert_order, edge_order, face_order, elem_order,
                                    0,       0,          0,          0};
        DOF_ d{};
        d.type = &p1;
        d.variable_order = &vo;
        ELEMENT_ e{};
        const int verts[4] = {0, 3, 5, 7}, edges[6] = {1, 2, 3, 6, 8, 9}, faces[4] = {0, 2, 3, 5};
        for (int k = 0; k < 4; ++k) e.verts[k] = verts[k], e.faces[k] = faces[k];
        for (int k = 0; k < 6; ++k) e.edges[k] = edges[k];
        e.index = 1;
        // vertices: 4 x 1; edges: orders 2,4,2,4,1,1 -> 1+3+1+3+0+0 = 8; faces: orders
        // 4,1,4,2 -> 3+0+3+0 = 6; interior: order 4 -> 1.
        const int expected = ((mask & 1) ? 4 : 0) + ((mask & 2) ? 8 : 0) + ((mask & 4) ? 6 : 0) + 1;
        EXPECT_EQ(mosk::basis_count(&d, &e), expected) << "mask " << mask;
    }
}

}  // namespace
