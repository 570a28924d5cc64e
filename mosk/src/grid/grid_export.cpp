// Export of a grid: one file with the whole grid, or one piece per process and an index.
#include "grid/grid_export.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "core/check.h"
#include "core/library_state.h"
#include "core/parallel.h"

namespace mosk {
namespace {

// The part of the grid one process owns: its leaves and the vertices they use, in increasing
// global number.
struct GridPiece {
    VtkPiece piece;
    std::vector<int> leaves;  // the leaf of each cell; empty: every leaf in order
};

GridPiece whole_grid(const GridImpl& grid) {
    GridPiece g;
    g.piece.coords = grid.vertices();
    g.piece.ncells = std::size_t(grid.num_leaves());
    g.piece.cell = [&grid](std::size_t i) { return grid.leaf(int(i)).verts; };
    return g;
}

GridPiece owned_piece(const GridImpl& grid, int owner) {
    GridPiece g;
    VtkPiece& piece = g.piece;
    piece.coords = grid.vertices();
    std::vector<char> used(std::size_t(grid.num_vertices()), 0);
    for (int i = 0; i < grid.num_leaves(); ++i) {
        const ELEMENT_& e = grid.leaf(i);
        if (e.owner != owner) continue;
        g.leaves.push_back(i);
        for (int v : e.verts) used[v] = 1;
    }
    piece.ncells = g.leaves.size();
    if (g.leaves.empty()) piece.coords = {};  // no points (an empty list would mean all)
    piece.cell = [&grid, leaves = &g.leaves](std::size_t i) {
        return grid.leaf((*leaves)[i]).verts;
    };
    piece.point_of.assign(std::size_t(grid.num_vertices()), -1);
    for (std::size_t v = 0; v < used.size(); ++v)
        if (used[v]) {
            piece.point_of[v] = int(piece.points.size());
            piece.points.push_back(int(v));
        }
    return g;
}

// The fields' values on the piece's points and cells, and the owning process as a cell array.
std::vector<VtkField> restrict_to_piece(const GridPiece& g, const std::vector<VtkField>& all,
                                        int owner) {
    std::vector<VtkField> out;
    for (const VtkField& f : all) {
        VtkField r{f.name, f.components, f.cell_data, {}};
        const std::vector<int>& ids = f.cell_data ? g.leaves : g.piece.points;
        r.values.reserve(ids.size() * std::size_t(f.components));
        for (int id : ids)
            for (int c = 0; c < f.components; ++c)
                r.values.push_back(f.values[std::size_t(id) * f.components + c]);
        out.push_back(std::move(r));
    }
    out.push_back(
        VtkField{"process", 1, true, std::vector<double>(g.leaves.size(), double(owner))});
    return out;
}

// A distributed grid's whole leaf mesh and fields on process `root`, gathered from the owned
// vertices and leaves of every process (points by global vertex number, cells process by
// process); the other processes receive nothing.
struct GatheredGrid {
    std::vector<Point> coords;
    std::vector<std::array<int, 4>> cells;
    std::vector<VtkField> fields;
};

GatheredGrid gather_grid(const GridImpl& grid, const std::vector<VtkField>& fields, int root) {
    const GridPart& part = grid.part;
    std::vector<int> vertices, cells;  // global vertex numbers
    std::vector<double> xyz;
    for (int v = 0; v < grid.num_vertices(); ++v) {
        const int position = part.vertex_position[std::size_t(v)];
        if (position >= part.vertices.num_owned()) continue;
        vertices.push_back(int(grid.vertex_global(v)));
        xyz.insert(xyz.end(), grid.vertex(v).begin(), grid.vertex(v).end());
    }
    for (int i = 0; i < part.owned_leaves; ++i)
        for (int v : grid.leaf(i).verts) cells.push_back(int(grid.vertex_global(v)));
    GatheredGrid out;
    const std::vector<int> all_vertices = gather_on_root(grid.comm, root, vertices);
    const std::vector<double> all_xyz = gather_on_root(grid.comm, root, xyz);
    const std::vector<int> all_cells = gather_on_root(grid.comm, root, cells);
    out.coords.resize(all_vertices.size());
    for (std::size_t k = 0; k < all_vertices.size(); ++k)
        out.coords[std::size_t(all_vertices[k])] = {all_xyz[3 * k], all_xyz[3 * k + 1],
                                                    all_xyz[3 * k + 2]};
    out.cells.resize(all_cells.size() / 4);
    for (std::size_t c = 0; c < out.cells.size(); ++c)
        for (std::size_t k = 0; k < 4; ++k) out.cells[c][k] = all_cells[4 * c + k];
    for (const VtkField& f : fields) {
        std::vector<double> mine;
        const std::size_t per = std::size_t(f.components);
        if (f.cell_data) {
            mine.assign(f.values.begin(),
                        f.values.begin() + std::ptrdiff_t(std::size_t(part.owned_leaves) * per));
        } else {
            for (int v = 0; v < grid.num_vertices(); ++v)
                if (part.vertex_position[std::size_t(v)] < part.vertices.num_owned())
                    mine.insert(mine.end(), f.values.begin() + std::ptrdiff_t(std::size_t(v) * per),
                                f.values.begin() + std::ptrdiff_t(std::size_t(v + 1) * per));
        }
        std::vector<double> all = gather_on_root(grid.comm, root, mine);
        VtkField g{f.name, f.components, f.cell_data, {}};
        if (f.cell_data) {
            g.values = std::move(all);
        } else {
            g.values.resize(all.size());
            for (std::size_t k = 0; k < all_vertices.size(); ++k)
                std::copy_n(all.begin() + std::ptrdiff_t(k * per), per,
                            g.values.begin() + std::ptrdiff_t(std::size_t(all_vertices[k]) * per));
        }
        out.fields.push_back(std::move(g));
    }
    return out;
}

// The steps of the time series written in this run, by index path (the same on every process:
// every process makes the same export calls).
std::map<std::string, std::vector<VtkStep>>& series_steps() {
    static std::map<std::string, std::vector<VtkStep>> steps;
    return steps;
}

void write_series_step(GridImpl& grid, const std::string& path, const std::vector<VtkField>& fields,
                       const double* time) {
    std::vector<VtkStep> steps = series_steps()[path];
    const double t = time ? *time : double(steps.size());
    if (!std::isfinite(t))
        fail<std::invalid_argument>("export", "the time of a step of '" + path +
                                                  "' must be finite, got " + format_double(t));
    char number[16];
    std::snprintf(number, sizeof number, "_%06zu", steps.size());
    const std::string step =
        path.substr(0, path.size() - 4) + number + (grid.nprocs > 1 ? ".pvtu" : ".vtu");
    write_vtk(grid, step, fields);
    steps.push_back({t, step});
    on_root(grid.comm, 0, [&] { write_pvd_index(path, steps); });
    series_steps()[path] = std::move(steps);
}

}  // namespace

void write_vtk(GridImpl& grid, const std::string& path, const std::vector<VtkField>& fields,
               const double* time) {
    const VtkFormat format = vtk_format(path);
    if (format == VtkFormat::series) return write_series_step(grid, path, fields, time);
    if (time)
        fail<std::invalid_argument>(
            "export", "a time is given for '" + path + "', which is not a .pvd time series");
    const GridPiece whole = whole_grid(grid);
    if (format == VtkFormat::parallel_xml) {
        // Every process writes the piece it owns, then process 0 the index.
        check_vtk_fields(whole.piece, path, fields);
        collective(grid.comm, [&] {
            // The piece's cell function refers to its leaf list: the piece stays where it is made.
            const GridPiece mine = owned_piece(grid, grid.rank);
            write_vtk_file(piece_path(path, grid.rank), VtkFormat::xml, mine.piece,
                           restrict_to_piece(mine, fields, grid.rank));
        });
        on_root(grid.comm, 0,
                [&] { write_pvtu_index(path, restrict_to_piece(whole, fields, 0), grid.nprocs); });
        return;
    }
    if (grid.distributed()) {
        // One file of the whole grid, assembled on process 0 from every process's own part.
        collective(grid.comm, [&] { check_vtk_fields(whole.piece, path, fields); });
        const GatheredGrid all = gather_grid(grid, fields, 0);
        on_root(grid.comm, 0, [&] {
            VtkPiece piece;
            piece.coords = all.coords;
            piece.ncells = all.cells.size();
            piece.cell = [&all](std::size_t i) { return all.cells[i].data(); };
            write_vtk_file(path, format, piece, all.fields);
        });
        return;
    }
    // One file with the whole grid, which every process holds: process 0 writes it.
    on_root(grid.comm, 0, [&] { write_vtk_file(path, format, whole.piece, fields); });
}

}  // namespace mosk
