// Reading a binary MSH 4.1 file in slices: every process reads its block of the file's
// tetrahedra with their vertices; the processes find who shares which vertex through a home
// process per vertex, send each other the ghost layer (every leaf of another process around an
// own vertex), label the faces of their own leaves and assemble their parts. No process holds
// more than its block, its ghosts and the file's labelled triangles.
#include <algorithm>
#include <numeric>

#include "core/check.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"
#include "grid/leaf_messages.h"
#include "grid/mesh_import.h"
#include "grid/reference_tetrahedron.h"

namespace mosk {
namespace {

// The position in s.points of the vertex at position j of the file's nodes, -1 when the slice
// does not use it.
int slice_vertex(const MeshSlice& s, int64_t j) {
    const auto it = std::lower_bound(s.point_numbers.begin(), s.point_numbers.end(), j);
    return it != s.point_numbers.end() && *it == j ? int(it - s.point_numbers.begin()) : -1;
}

// The checks of a whole read that concern the slice: its tetrahedra one by one (in file order,
// so the first process that fails names the file's first bad one) and the sizes.
void check_slice(const MeshSlice& s, const std::string& path) {
    const std::string op = mesh_read_operation(path);
    if (s.total_tets == 0) fail<FormatError>(op, "the mesh holds no tetrahedra");
    if (s.file_points > INT32_MAX || s.total_tets > INT32_MAX / 2)
        fail<FormatError>(op, "the mesh is too large");
    for (size_t k = 0; k < s.tets.size(); ++k) {
        const auto& t = s.tets[k];
        const std::array<int, 4> in_file = {
            int(s.point_numbers[size_t(t[0])]), int(s.point_numbers[size_t(t[1])]),
            int(s.point_numbers[size_t(t[2])]), int(s.point_numbers[size_t(t[3])])};
        const std::string fault =
            tetrahedron_fault(in_file, {&s.points[size_t(t[0])], &s.points[size_t(t[1])],
                                        &s.points[size_t(t[2])], &s.points[size_t(t[3])]});
        if (!fault.empty()) fail_tetrahedron(op, -1, s.first + int64_t(k), in_file, fault);
    }
}

// Per vertex of the slice (by position in s.points), the other processes whose tetrahedra use
// it: around[start[v] .. start[v + 1]). Each vertex is reported to its home process (a block of
// the file's node positions per process), which answers each reporter with the others.
struct Sharers {
    std::vector<int> start, around;
};
Sharers sharers_of(int comm, int np, const MeshSlice& s) {
    const int64_t n = std::max<int64_t>(s.file_points, 1);
    std::vector<std::vector<int64_t>> out(static_cast<size_t>(np));
    for (int64_t j : s.point_numbers) out[size_t(j * np / n)].push_back(j);
    std::vector<std::vector<int64_t>> in = all_to_all(comm, out);
    std::vector<std::pair<int64_t, int>> at;  // (vertex, reporter) at its home
    for (size_t p = 0; p < in.size(); ++p)
        for (int64_t j : in[p]) at.push_back({j, int(p)});
    std::vector<std::vector<int64_t>>().swap(in);
    std::sort(at.begin(), at.end());
    for (auto& o : out) o.clear();
    for (size_t a = 0; a < at.size();) {
        size_t b = a + 1;
        while (b < at.size() && at[b].first == at[a].first) ++b;
        for (size_t x = a; b - a > 1 && x < b; ++x)
            for (size_t y = a; y < b; ++y)
                if (x != y) {
                    out[size_t(at[x].second)].push_back(at[x].first);
                    out[size_t(at[x].second)].push_back(at[y].second);
                }
        a = b;
    }
    std::vector<std::pair<int64_t, int>>().swap(at);
    in = all_to_all(comm, out);
    std::vector<std::pair<int, int>> pairs;  // (slice vertex, other process)
    for (const auto& words : in)
        for (size_t k = 0; k + 1 < words.size(); k += 2)
            pairs.push_back({slice_vertex(s, words[k]), int(words[k + 1])});
    std::sort(pairs.begin(), pairs.end());
    Sharers sh;
    sh.start.assign(s.points.size() + 1, 0);
    for (const auto& [v, q] : pairs) ++sh.start[size_t(v) + 1];
    std::partial_sum(sh.start.begin(), sh.start.end(), sh.start.begin());
    for (const auto& pq : pairs) sh.around.push_back(pq.second);
    return sh;
}

// The label sets of the faces that the file's triangles label, registered in `fresh` in the
// order of the faces' smallest, middle and largest vertex number in the file (the order of a
// whole read, so that the codes are the same): only faces of a tetrahedron count, and every
// process learns which are from the processes that own those tetrahedra.
void register_label_sets(GridImpl& fresh, const MeshSlice& s) {
    using Key = std::array<int, 3>;
    std::vector<std::pair<Key, int>> labelled;  // (face, label)
    for (size_t k = 0; k < s.triangles.size(); ++k) {
        if (s.triangle_labels[k] == 0) continue;
        Key key = s.triangles[k];
        std::sort(key.begin(), key.end());
        labelled.push_back({key, s.triangle_labels[k]});
    }
    std::sort(labelled.begin(), labelled.end());
    labelled.erase(std::unique(labelled.begin(), labelled.end()), labelled.end());
    std::vector<Key> faces;
    for (const auto& [key, label] : labelled)
        if (faces.empty() || faces.back() != key) faces.push_back(key);
    // Faces of this process's tetrahedra among them (only vertices of triangles can match).
    std::vector<long long> on_tet(faces.size(), 0);
    std::vector<uint8_t> on_triangle(s.points.size(), 0);
    for (const Key& f : faces)
        for (int j : f)
            if (const int v = slice_vertex(s, j); v >= 0) on_triangle[size_t(v)] = 1;
    for (const auto& t : s.tets)
        for (const auto& fv : kFaceVerts) {
            const int a = t[size_t(fv[0])], b = t[size_t(fv[1])], c = t[size_t(fv[2])];
            if (!on_triangle[size_t(a)] || !on_triangle[size_t(b)] || !on_triangle[size_t(c)])
                continue;
            Key key = {int(s.point_numbers[size_t(a)]), int(s.point_numbers[size_t(b)]),
                       int(s.point_numbers[size_t(c)])};
            std::sort(key.begin(), key.end());
            const auto it = std::lower_bound(faces.begin(), faces.end(), key);
            if (it != faces.end() && *it == key) on_tet[size_t(it - faces.begin())] = 1;
        }
    sum_over_processes(fresh.comm, on_tet);
    std::vector<int> labels;
    for (size_t a = 0, f = 0; a < labelled.size(); ++f) {
        labels.clear();
        for (; a < labelled.size() && labelled[a].first == faces[f]; ++a)
            labels.push_back(labelled[a].second);
        if (on_tet[f]) fresh.label_code(labels, true);
    }
}

// Own leaves (positions in s.tets) that each other process needs as ghosts: those around a
// vertex it shares, in file order.
std::vector<std::vector<int>> ghosts_for(int np, const MeshSlice& s, const Sharers& sh) {
    std::vector<std::vector<int>> to(static_cast<size_t>(np));
    std::vector<int> stamp(static_cast<size_t>(np), -1);
    for (size_t i = 0; i < s.tets.size(); ++i)
        for (int v : s.tets[i])
            for (int k = sh.start[size_t(v)]; k < sh.start[size_t(v) + 1]; ++k) {
                const int q = sh.around[size_t(k)];
                if (stamp[size_t(q)] != int(i)) {
                    stamp[size_t(q)] = int(i);
                    to[size_t(q)].push_back(int(i));
                }
            }
    return to;
}

// The face codes of the own leaves: the own leaves and the ghosts that the other processes send
// (their vertices by file position) make up every face neighbour of an own leaf.
std::vector<std::array<int, 4>> own_face_codes(GridImpl& fresh, MeshSlice& s,
                                               const std::vector<std::vector<int>>& to) {
    std::vector<std::vector<int64_t>> out(to.size());
    for (size_t q = 0; q < to.size(); ++q)
        for (int i : to[q])
            for (int v : s.tets[size_t(i)]) out[q].push_back(s.point_numbers[size_t(v)]);
    const std::vector<std::vector<int64_t>> in = all_to_all(fresh.comm, out);
    std::vector<std::vector<int64_t>>().swap(out);
    // Local vertices: the slice's, then the ghosts' others, each by file position.
    std::vector<int64_t> extra;
    for (const auto& words : in)
        for (int64_t j : words)
            if (slice_vertex(s, j) < 0) extra.push_back(j);
    std::sort(extra.begin(), extra.end());
    extra.erase(std::unique(extra.begin(), extra.end()), extra.end());
    auto local = [&](int64_t j) {
        const int v = slice_vertex(s, j);
        if (v >= 0) return v;
        const auto it = std::lower_bound(extra.begin(), extra.end(), j);
        return it != extra.end() && *it == j ? int(s.points.size()) + int(it - extra.begin()) : -1;
    };
    // The ghosts go after the slice's tetrahedra while the codes are found.
    const size_t own = s.tets.size();
    std::vector<std::array<int, 4>>& tets = s.tets;
    size_t ghost_count = 0;
    for (const auto& words : in) ghost_count += words.size() / 4;
    tets.reserve(own + ghost_count);
    for (const auto& words : in)
        for (size_t k = 0; k + 3 < words.size(); k += 4)
            tets.push_back(
                {local(words[k]), local(words[k + 1]), local(words[k + 2]), local(words[k + 3])});
    std::vector<std::array<int, 3>> triangles;
    std::vector<int> labels;
    for (size_t k = 0; k < s.triangles.size(); ++k) {
        const std::array<int, 3> t = {local(s.triangles[k][0]), local(s.triangles[k][1]),
                                      local(s.triangles[k][2])};
        if (t[0] < 0 || t[1] < 0 || t[2] < 0) continue;  // on none of the held leaves
        triangles.push_back(t);
        labels.push_back(s.triangle_labels[k]);
    }
    std::vector<std::array<int, 4>> codes =
        face_codes_of(s.points.size() + extra.size(), tets, triangles, labels, fresh);
    tets.resize(own);
    codes.resize(own);
    return codes;
}

}  // namespace

void assign_read_in_slices(GridImpl& fresh, const std::string& path) {
    const int np = fresh.nprocs, rank = fresh.rank;
    MeshSlice s;
    // Each process finds the first fault of its slice: all report the first process's.
    collective_alike(fresh.comm, [&] {
        s = read_mesh_slice(path, rank, np);
        check_slice(s, path);
    });
    register_label_sets(fresh, s);
    const std::vector<std::vector<int>> to = ghosts_for(np, s, sharers_of(fresh.comm, np, s));
    std::vector<std::array<int, 4>> codes = own_face_codes(fresh, s, to);

    // The ghosts to the other processes, in the messages of a migration.
    std::vector<std::vector<int64_t>> words(static_cast<size_t>(np));
    std::vector<std::vector<double>> xyz(static_cast<size_t>(np));
    {
        std::vector<int> slot(s.points.size(), -1), stamp(s.points.size(), -1);
        for (int q = 0; q < np; ++q) {
            if (to[size_t(q)].empty()) continue;
            std::vector<int> verts;
            for (int i : to[size_t(q)])
                for (int v : s.tets[size_t(i)])
                    if (stamp[size_t(v)] != q) {
                        stamp[size_t(v)] = q;
                        slot[size_t(v)] = int(verts.size());
                        verts.push_back(v);
                    }
            LeafMessage m;
            begin_message(m, 0, to[size_t(q)].size(), verts.size());
            for (int v : verts) add_vertex(m, s.point_numbers[size_t(v)], s.points[size_t(v)]);
            for (int i : to[size_t(q)]) {
                const auto& t = s.tets[size_t(i)];
                add_leaf(m, s.first + i, rank,
                         {slot[size_t(t[0])], slot[size_t(t[1])], slot[size_t(t[2])],
                          slot[size_t(t[3])]},
                         codes[size_t(i)], s.tet_labels[size_t(i)]);
            }
            words[size_t(q)].swap(m.words);
            xyz[size_t(q)].swap(m.xyz);
        }
    }
    std::vector<int64_t> numbers;  // of the ghosts' vertices
    HeldLeaves ghosts;
    {
        const std::vector<std::vector<int64_t>> in_words = all_to_all(fresh.comm, words);
        const std::vector<std::vector<double>> in_xyz = all_to_all(fresh.comm, xyz);
        std::vector<std::vector<int64_t>>().swap(words);
        std::vector<std::vector<double>>().swap(xyz);
        std::vector<LeafOrigin> origins;
        ghosts = unpack_leaves(in_words, in_xyz, origins, "import", &numbers);
    }

    // The own leaves as the slice holds them, then the ghosts, their vertices joined by number.
    HeldLeaves held;
    const size_t n = s.tets.size();
    held.owned = int(n);
    held.key.resize(n);
    std::iota(held.key.begin(), held.key.end(), s.first);
    held.owner.assign(n, rank);
    held.verts = std::move(s.tets);
    held.face_codes = std::move(codes);
    held.label = std::move(s.tet_labels);
    held.coords = std::move(s.points);
    std::vector<int> at(numbers.size());
    for (size_t k = 0; k < numbers.size(); ++k) {
        at[k] = slice_vertex(s, numbers[k]);
        if (at[k] < 0) {
            at[k] = int(held.coords.size());
            held.coords.push_back(ghosts.coords[k]);
        }
    }
    s = MeshSlice{};
    held.key.insert(held.key.end(), ghosts.key.begin(), ghosts.key.end());
    held.owner.insert(held.owner.end(), ghosts.owner.begin(), ghosts.owner.end());
    for (auto& t : ghosts.verts)
        held.verts.push_back(
            {at[size_t(t[0])], at[size_t(t[1])], at[size_t(t[2])], at[size_t(t[3])]});
    held.face_codes.insert(held.face_codes.end(), ghosts.face_codes.begin(),
                           ghosts.face_codes.end());
    held.label.insert(held.label.end(), ghosts.label.begin(), ghosts.label.end());
    ghosts = HeldLeaves{};
    assemble_part(fresh, std::move(held));
}

}  // namespace mosk
