// Numbering of the leaf mesh: edges and faces get global numbers in the order of their sorted
// vertex keys; a face met once is a boundary face.
//
// One global sort of (key, slot) pairs took most of the time and memory of a refinement, so the
// keys are bucketed instead (counting sorts): edge occurrences by their low vertex, face
// occurrences by the edge of their two lowest vertices. Buckets are small; each is reduced to its
// distinct keys and sorted on its own, and every leaf then finds its numbers in its buckets.
#include <algorithm>

#include "grid/grid_impl.h"
#include "mosk_errors.h"

namespace mosk {
namespace {

using Tet = std::array<int, 4>;

// Local edge joining local vertices i and j.
constexpr int kEdgeOf[4][4] = {{-1, 0, 1, 2}, {0, -1, 3, 4}, {1, 3, -1, 5}, {2, 4, 5, -1}};

// A face inside the volume is marked in its bucket key (vertex numbers fit in 31 bits).
constexpr uint32_t kInteriorBit = uint32_t(1) << 31;
constexpr uint32_t kVertexMask = ~kInteriorBit;

// Counting sort: bucket b holds keys[start[b] .. start[b + 1] - 1]. `each(i, emit)` calls
// emit(bucket, key) for every occurrence of leaf i.
template <class Each>
std::vector<uint32_t> bucket(size_t n, size_t nbuckets, std::vector<uint32_t>& start, Each each) {
    start.assign(nbuckets + 1, 0);
    for (size_t i = 0; i < n; ++i) each(i, [&](uint32_t b, uint32_t) { ++start[b + 1]; });
    for (size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    std::vector<uint32_t> keys(start.back());
    for (size_t i = 0; i < n; ++i) each(i, [&](uint32_t b, uint32_t key) { keys[start[b]++] = key; });
    // start[b] now ends bucket b: shift back to beginnings.
    for (size_t b = start.size() - 1; b > 0; --b) start[b] = start[b - 1];
    start[0] = 0;
    return keys;
}

// Positions of the keys k[0] < .. < k[N-1] among the `count` sorted keys at `first` (all are
// there), compared under `mask`: one branch-free pass serves all the keys of a leaf that fall
// in one bucket.
template <int N>
void positions(const uint32_t* first, uint32_t count, const uint32_t (&k)[N], uint32_t mask,
               uint32_t (&p)[N]) {
    for (int j = 0; j < N; ++j) p[j] = 0;
    for (uint32_t s = 0; s < count; ++s) {
        const uint32_t x = first[s] & mask;
        for (int j = 0; j < N; ++j) p[j] += x < k[j];
    }
}

// Local vertex numbers of t in increasing order of their global numbers.
std::array<int, 4> vertex_order(const Tet& t) {
    std::array<int, 4> l = {0, 1, 2, 3};
    auto order = [&](int a, int b) {
        if (t[l[a]] > t[l[b]]) std::swap(l[a], l[b]);
    };
    order(0, 1);
    order(2, 3);
    order(0, 2);
    order(1, 3);
    order(1, 2);
    return l;
}

}  // namespace

void GridImpl::number_leaf_mesh() {
    const size_t n = leaves.size();
    if (n > (size_t(UINT32_MAX) / 6))
        throw std::length_error("mosk: numbering: too many elements");
    const size_t nv = coords.size();
    if (nv > size_t(INT32_MAX)) throw std::length_error("mosk: numbering: too many vertices");
    // The leaves' vertices, copied once: the passes below read them in order.
    std::vector<Tet> tets(n);
    for (size_t i = 0; i < n; ++i) {
        const ELEMENT_& e = leaf(int(i));
        for (int k = 0; k < 4; ++k) {
            if (e.verts[k] < 0 || size_t(e.verts[k]) >= nv)
                throw std::logic_error("mosk: numbering: a leaf names a vertex that does not exist");
            tets[i][k] = e.verts[k];
        }
    }

    // The previous numbering's arrays go first, so that they do not add to the peak.
    std::vector<std::array<int, 2>>().swap(edge_verts);
    std::vector<std::array<int, 3>>().swap(face_verts);
    std::vector<int>().swap(face_label);

    std::vector<uint32_t> start;
    {
        // Edges: the bucket of the low vertex holds the high vertex of every occurrence.
        std::vector<uint32_t> high = bucket(n, nv, start, [&](size_t i, auto&& emit) {
            const Tet& t = tets[i];
            for (const auto& ev : kEdgeVerts) {
                const int a = t[ev[0]], b = t[ev[1]];
                emit(uint32_t(std::min(a, b)), uint32_t(std::max(a, b)));
            }
        });
        // Distinct keys first (a vertex's bucket repeats each edge once per element around it),
        // then sorting only those.
        std::vector<uint32_t> base(nv + 1, 0), seen;
        seen.assign(nv, UINT32_MAX);
        for (size_t v = 0; v < nv; ++v) {
            uint32_t* first = high.data() + start[v];
            uint32_t count = 0;
            for (uint32_t s = 0; s < start[v + 1] - start[v]; ++s) {
                const uint32_t h = first[s];
                if (seen[h] != v) {
                    seen[h] = uint32_t(v);
                    first[count++] = h;
                }
            }
            std::sort(first, first + count);
            base[v + 1] = base[v] + count;
        }
        std::vector<uint32_t>().swap(seen);
        // The distinct keys, packed: the searches below then stay in a few megabytes.
        std::vector<uint32_t> dense(base[nv]);
        for (size_t v = 0; v < nv; ++v)
            std::copy_n(high.data() + start[v], base[v + 1] - base[v], dense.data() + base[v]);
        std::vector<uint32_t>().swap(high);
        std::vector<uint32_t>().swap(start);
        edge_verts.resize(dense.size());
        for (size_t v = 0; v < nv; ++v)
            for (uint32_t s = base[v]; s < base[v + 1]; ++s) edge_verts[s] = {int(v), int(dense[s])};
        // Sorted vertices v0 < v1 < v2 < v3: the bucket of v0 holds v1, v2, v3, that of v1 holds
        // v2, v3, that of v2 holds v3.
        for (size_t i = 0; i < n; ++i) {
            ELEMENT_& e = leaf(int(i));
            const Tet& t = tets[i];
            const auto l = vertex_order(t);
            const uint32_t v[4] = {uint32_t(t[l[0]]), uint32_t(t[l[1]]), uint32_t(t[l[2]]),
                                   uint32_t(t[l[3]])};
            const uint32_t* d = dense.data();
            uint32_t p3[3], p2[2], p1[1];
            positions(d + base[v[0]], base[v[0] + 1] - base[v[0]], {v[1], v[2], v[3]}, ~0u, p3);
            positions(d + base[v[1]], base[v[1] + 1] - base[v[1]], {v[2], v[3]}, ~0u, p2);
            positions(d + base[v[2]], base[v[2] + 1] - base[v[2]], {v[3]}, ~0u, p1);
            for (int j = 0; j < 3; ++j) e.edges[kEdgeOf[l[0]][l[j + 1]]] = int(base[v[0]] + p3[j]);
            for (int j = 0; j < 2; ++j) e.edges[kEdgeOf[l[1]][l[j + 2]]] = int(base[v[1]] + p2[j]);
            e.edges[kEdgeOf[l[2]][l[3]]] = int(base[v[2]] + p1[0]);
        }
    }

    {
        // Faces: the bucket of the edge of the two lowest vertices holds the third vertex.
        const size_t ne = edge_verts.size();
        // Sorted vertices v0 < v1 < v2 < v3: faces (v0 v1 v2) and (v0 v1 v3) lie in the bucket of
        // edge v0 v1, (v0 v2 v3) in that of v0 v2, (v1 v2 v3) in that of v1 v2.
        std::vector<uint32_t> third = bucket(n, ne, start, [&](size_t i, auto&& emit) {
            const ELEMENT_& e = leaf(int(i));
            const Tet& t = tets[i];
            const auto l = vertex_order(t);
            const uint32_t e01 = uint32_t(e.edges[kEdgeOf[l[0]][l[1]]]);
            emit(e01, uint32_t(t[l[2]]));
            emit(e01, uint32_t(t[l[3]]));
            emit(uint32_t(e.edges[kEdgeOf[l[0]][l[2]]]), uint32_t(t[l[3]]));
            emit(uint32_t(e.edges[kEdgeOf[l[1]][l[2]]]), uint32_t(t[l[3]]));
        });
        std::vector<uint32_t> base(ne + 1, 0);
        for (size_t b = 0; b < ne; ++b) {
            uint32_t *first = third.data() + start[b], *last = third.data() + start[b + 1];
            std::sort(first, last);
            uint32_t* out = first;
            for (uint32_t* it = first; it != last;) {
                uint32_t* run = it + 1;
                while (run != last && *run == *it) ++run;
                if (run - it > 2)
                    throw FormatError("mosk: mesh: a face is shared by more than two elements");
                *out++ = *it | (run - it == 2 ? kInteriorBit : 0);
                it = run;
            }
            base[b + 1] = base[b] + uint32_t(out - first);
        }
        std::vector<uint32_t> dense(base[ne]);
        for (size_t b = 0; b < ne; ++b)
            std::copy_n(third.data() + start[b], base[b + 1] - base[b], dense.data() + base[b]);
        std::vector<uint32_t>().swap(third);
        std::vector<uint32_t>().swap(start);
        face_verts.resize(dense.size());
        face_label.assign(dense.size(), 0);
        for (size_t b = 0; b < ne; ++b)
            for (uint32_t s = base[b]; s < base[b + 1]; ++s)
                face_verts[s] = {edge_verts[b][0], edge_verts[b][1], int(dense[s] & kVertexMask)};
        for (size_t i = 0; i < n; ++i) {
            ELEMENT_& e = leaf(int(i));
            const Tet& t = tets[i];
            const auto l = vertex_order(t);
            const uint32_t v2 = uint32_t(t[l[2]]), v3 = uint32_t(t[l[3]]);
            const uint32_t b01 = uint32_t(e.edges[kEdgeOf[l[0]][l[1]]]);
            const uint32_t b02 = uint32_t(e.edges[kEdgeOf[l[0]][l[2]]]);
            const uint32_t b12 = uint32_t(e.edges[kEdgeOf[l[1]][l[2]]]);
            const uint32_t* d = dense.data();
            uint32_t p01[2], p02[1], p12[1];
            positions(d + base[b01], base[b01 + 1] - base[b01], {v2, v3}, kVertexMask, p01);
            positions(d + base[b02], base[b02 + 1] - base[b02], {v3}, kVertexMask, p02);
            positions(d + base[b12], base[b12 + 1] - base[b12], {v3}, kVertexMask, p12);
            // Face k is opposite local vertex k: (v0 v1 v2) is opposite l[3], and so on.
            const std::pair<int, uint32_t> found[4] = {{l[3], base[b01] + p01[0]},
                                                       {l[2], base[b01] + p01[1]},
                                                       {l[1], base[b02] + p02[0]},
                                                       {l[0], base[b12] + p12[0]}};
            for (const auto& [k, face] : found) {
                e.faces[k] = int(face);
                if (dense[face] & kInteriorBit) {
                    e.label[k] = 0;
                } else {
                    // A boundary face keeps the label its leaf carries.
                    const int label = e.label[k] != 0 ? e.label[k] : kUnlabelledBoundary;
                    e.label[k] = label;
                    face_label[face] = label;
                }
            }
        }
    }

    vert_boundary.assign(coords.size(), 0);
    edge_boundary.assign(edge_verts.size(), 0);
    for (size_t i = 0; i < n; ++i) {
        ELEMENT_& e = leaf(int(i));
        e.index = int(i);
        for (int k = 0; k < 4; ++k) {
            if (face_label[e.faces[k]] == 0) continue;
            for (int v : kFaceVerts[k]) vert_boundary[e.verts[v]] = 1;
            // the face opposite vertex k holds the three edges that avoid vertex k
            for (int m = 0; m < 6; ++m)
                if (kEdgeVerts[m][0] != k && kEdgeVerts[m][1] != k) edge_boundary[e.edges[m]] = 1;
        }
    }
    ++numbering_generation;
    update_record();
}

void GridImpl::update_record() {
    if (!record) return;
    record->nelem = int(leaves.size());
    record->nelem_global = int(leaves.size());
    record->nvert_global = int(coords.size());
    record->nedge_global = int(edge_verts.size());
    record->nface_global = int(face_verts.size());
    record->vertex_count = nullptr;
    record->store_id = store_id_;
}

}  // namespace mosk
