// Export of a grid: one file with the whole grid, or one piece per process and an index.
#include "grid/grid_export.h"

#include <mpi.h>

#include <algorithm>
#include <climits>
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

// The global number and the owner of vertex v of this process: what a piece of a whole-grid
// file needs. Every process holds the whole grid today, so a vertex's number is global; once a
// process holds only its part, the local part's numbering answers instead.
struct VertexId {
    int64_t global;
    int owner;
};
class VertexIds {
public:
    explicit VertexIds(GridImpl& grid) : owner_(entity_owners(grid).vert) {}
    VertexId operator()(int v) const { return {v, owner_[size_t(v)]}; }

private:
    const std::vector<int>& owner_;
};

// What one process sends for a whole-grid file, from the leaves it owns: the vertices it owns
// (global numbers, coordinates, point values), and its leaves as global vertex numbers with
// their cell values. Values: every field in turn, point data at the owned vertices, cell data
// at the leaves.
struct OwnedPiece {
    std::vector<int64_t> globals, cells;
    std::vector<double> coords, values;
};

OwnedPiece owned_leaves_piece(GridImpl& grid, const std::vector<VtkField>& fields) {
    OwnedPiece out;
    std::vector<int> leaves, vertices;
    std::vector<char> seen(size_t(grid.num_vertices()), 0);
    const VertexIds vertex_id(grid);
    for (int i = 0; i < grid.num_leaves(); ++i) {
        const ELEMENT_& e = grid.leaf(i);
        if (e.owner != grid.rank) continue;
        leaves.push_back(i);
        for (int v : e.verts) {
            const VertexId id = vertex_id(v);
            out.cells.push_back(id.global);
            if (id.owner == grid.rank && !seen[size_t(v)]) {
                seen[size_t(v)] = 1;
                vertices.push_back(v);
            }
        }
    }
    for (int v : vertices) {
        out.globals.push_back(vertex_id(v).global);
        out.coords.insert(out.coords.end(), grid.vertex(v).begin(), grid.vertex(v).end());
    }
    for (const VtkField& f : fields)
        for (int id : f.cell_data ? leaves : vertices)
            for (int c = 0; c < f.components; ++c)
                out.values.push_back(f.values[size_t(id) * size_t(f.components) + size_t(c)]);
    return out;
}

// The pieces of every process, received by process 0 in process order; empty elsewhere.
std::vector<OwnedPiece> gather_pieces(int comm_handle, int rank, int nprocs, OwnedPiece mine) {
    const MPI_Comm comm = MPI_Comm_f2c(comm_handle);
    if (rank != 0) {
        const int64_t sizes[4] = {int64_t(mine.globals.size()), int64_t(mine.cells.size()),
                                  int64_t(mine.coords.size()), int64_t(mine.values.size())};
        CHECK_MPI("export", MPI_Send(sizes, 4, MPI_INT64_T, 0, 0, comm));
        CHECK_MPI("export", MPI_Send(mine.globals.data(), int(sizes[0]), MPI_INT64_T, 0, 1, comm));
        CHECK_MPI("export", MPI_Send(mine.cells.data(), int(sizes[1]), MPI_INT64_T, 0, 2, comm));
        CHECK_MPI("export", MPI_Send(mine.coords.data(), int(sizes[2]), MPI_DOUBLE, 0, 3, comm));
        CHECK_MPI("export", MPI_Send(mine.values.data(), int(sizes[3]), MPI_DOUBLE, 0, 4, comm));
        return {};
    }
    std::vector<OwnedPiece> all(static_cast<size_t>(nprocs));
    all[0] = std::move(mine);
    for (int p = 1; p < nprocs; ++p) {
        OwnedPiece& x = all[size_t(p)];
        int64_t sizes[4];
        CHECK_MPI("export", MPI_Recv(sizes, 4, MPI_INT64_T, p, 0, comm, MPI_STATUS_IGNORE));
        x.globals.resize(size_t(sizes[0]));
        x.cells.resize(size_t(sizes[1]));
        x.coords.resize(size_t(sizes[2]));
        x.values.resize(size_t(sizes[3]));
        CHECK_MPI("export", MPI_Recv(x.globals.data(), int(sizes[0]), MPI_INT64_T, p, 1, comm,
                                     MPI_STATUS_IGNORE));
        CHECK_MPI("export", MPI_Recv(x.cells.data(), int(sizes[1]), MPI_INT64_T, p, 2, comm,
                                     MPI_STATUS_IGNORE));
        CHECK_MPI("export", MPI_Recv(x.coords.data(), int(sizes[2]), MPI_DOUBLE, p, 3, comm,
                                     MPI_STATUS_IGNORE));
        CHECK_MPI("export", MPI_Recv(x.values.data(), int(sizes[3]), MPI_DOUBLE, p, 4, comm,
                                     MPI_STATUS_IGNORE));
    }
    return all;
}

// The whole grid put together from the pieces: points in increasing global number, cells piece
// by piece, and the fields' values in that order (the VtkPiece refers to coords and cells).
struct AssembledGrid {
    std::vector<Point> coords;
    std::vector<int> cells;
    std::vector<VtkField> fields;
    VtkPiece piece;
};

void assemble(const std::vector<OwnedPiece>& pieces, const std::vector<VtkField>& like,
              const std::string& path, AssembledGrid& out) {
    int64_t points = 0, cells = 0, top = -1;
    for (const OwnedPiece& x : pieces) {
        points += int64_t(x.globals.size());
        cells += int64_t(x.cells.size() / 4);
        for (int64_t gv : x.globals) top = std::max(top, gv);
    }
    if (points > INT32_MAX || cells > INT32_MAX)
        fail<std::length_error>("export to '" + path + "'",
                                "too many points or cells for one file");
    // Point of each global number, in increasing order of the numbers held.
    std::vector<int> point_of(size_t(top + 1), -1);
    for (const OwnedPiece& x : pieces)
        for (int64_t gv : x.globals) point_of[size_t(gv)] = 0;
    int next = 0;
    for (int& p : point_of)
        if (p == 0) p = next++;
    out.coords.resize(size_t(points));
    for (const OwnedPiece& x : pieces)
        for (size_t k = 0; k < x.globals.size(); ++k)
            out.coords[size_t(point_of[size_t(x.globals[k])])] = {
                x.coords[3 * k], x.coords[3 * k + 1], x.coords[3 * k + 2]};
    out.cells.reserve(size_t(4 * cells));
    for (const OwnedPiece& x : pieces)
        for (int64_t gv : x.cells) {
            if (gv < 0 || gv > top || point_of[size_t(gv)] < 0)
                fail<std::logic_error>("export to '" + path + "'",
                                       "vertex " + std::to_string(gv) + " has no owner's piece");
            out.cells.push_back(point_of[size_t(gv)]);
        }
    for (const VtkField& f : like) out.fields.push_back({f.name, f.components, f.cell_data, {}});
    for (const OwnedPiece& x : pieces) {
        size_t at = 0;
        for (VtkField& f : out.fields) {
            const size_t comps = size_t(f.components);
            if (f.cell_data) {
                const size_t n = x.cells.size() / 4 * comps;
                f.values.insert(f.values.end(), x.values.begin() + std::ptrdiff_t(at),
                                x.values.begin() + std::ptrdiff_t(at + n));
                at += n;
                continue;
            }
            f.values.resize(size_t(points) * comps);
            for (size_t k = 0; k < x.globals.size(); ++k, at += comps)
                std::copy_n(x.values.begin() + std::ptrdiff_t(at), comps,
                            f.values.begin() +
                                std::ptrdiff_t(size_t(point_of[size_t(x.globals[k])]) * comps));
        }
    }
    out.piece.coords = out.coords;
    out.piece.ncells = size_t(cells);
    out.piece.cell = [&c = out.cells](std::size_t i) { return c.data() + 4 * i; };
}

// One file with the whole grid on several processes: each process sends the piece of the
// leaves it owns to process 0, which writes the file (only the output is held whole there).
void write_from_pieces(GridImpl& grid, const std::string& path, VtkFormat format,
                       const std::vector<VtkField>& fields) {
    collective(grid.comm, [&] { check_vtk_fields(whole_grid(grid).piece, path, fields); });
    std::vector<OwnedPiece> pieces =
        gather_pieces(grid.comm, grid.rank, grid.nprocs, owned_leaves_piece(grid, fields));
    on_root(grid.comm, 0, [&] {
        AssembledGrid whole;
        assemble(pieces, fields, path, whole);
        pieces.clear();
        write_vtk_file(path, format, whole.piece, whole.fields);
    });
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
    if (grid.nprocs > 1) return write_from_pieces(grid, path, format, fields);
    write_vtk_file(path, format, whole.piece, fields);
}

}  // namespace mosk
