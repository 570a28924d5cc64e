// What a preconditioner may know of a system's unknowns beyond its matrix, taken from the one
// field of a map: how the values group into nodes, where the nodes lie (the rigid-body modes of
// a vector field are made from them), and for a field of order >= 2 the interpolation from the
// P1 field of the same components on the same grid (the coarse level of a p-multigrid).
#pragma once

#include <vector>

namespace mosk {

struct MapImpl;

struct FieldStructure {
    int order = 1;       // polynomial degree of the field
    int block_size = 1;  // components per node; a node's values are consecutive rows

    // x, y, z of the node of each block of this process's rows (rows / block_size nodes); filled
    // for a field of 3 components, the case that has rigid-body modes.
    std::vector<double> node_xyz;

    // order >= 2: the P1 space numbers the field's vertex values in the order of their rows, so
    // each process owns the coarse rows of the vertex values among its own rows.
    int coarse_size = 0, coarse_rstart = 0, coarse_nlocal = 0;
    std::vector<double> coarse_xyz;  // as node_xyz, for the coarse rows
    // The interpolation, this process's rows: row r holds the P1 basis functions at r's node,
    // interp_columns / interp_values [interp_offsets[r] .. interp_offsets[r + 1]).
    std::vector<int> interp_offsets, interp_columns;
    std::vector<double> interp_values;

    bool multilevel() const { return order >= 2 && coarse_size > 0; }
    bool rigid_body_modes() const { return !node_xyz.empty(); }
};

// The structure of a map over one continuous Lagrange field; the default (nothing known) for
// other maps. `with_coarse` asks for the interpolation of an order >= 2 field.
FieldStructure field_structure(const MapImpl& map, bool with_coarse);

}  // namespace mosk
