// Numbering of the leaf mesh: edges and faces get global numbers in the order of their sorted
// vertex keys; a face met once is a boundary face.
//
// One global sort of (key, slot) pairs took most of the time and memory of a refinement, so the
// keys are bucketed instead (counting sorts): edge occurrences by their low vertex, face
// occurrences by the edge of their two lowest vertices. Buckets are small; each is reduced to its
// distinct keys and sorted on its own, and every leaf then finds its numbers in its buckets.
// Leaf records are scattered in the store, so they are read once into compact arrays and written
// once, at the end; the passes in between run over the compact arrays in order.
#include <algorithm>
#include <memory>

#include "grid/grid_impl.h"
#include "core/check.h"
#include "mosk_errors.h"

namespace mosk {
namespace {

using Sorted = std::array<uint32_t, 4>;  // a leaf's vertices in increasing order

// A face inside the volume is marked in its bucket key (vertex numbers fit in 31 bits).
constexpr uint32_t kInteriorBit = uint32_t(1) << 31;
constexpr uint32_t kVertexMask = ~kInteriorBit;

// Scratch arrays that are written before they are read: no zero filling.
template <class T>
std::unique_ptr<T[]> scratch(size_t n) {
    return std::unique_ptr<T[]>(new T[n]);
}

// Counting sort into `keys`: bucket b holds keys[start[b] .. start[b + 1] - 1]. `each(i, emit)`
// calls emit(bucket, key) for every occurrence of leaf i.
template <class Each>
void bucket(size_t n, size_t nbuckets, std::vector<uint32_t>& start, uint32_t* keys, Each each) {
    start.assign(nbuckets + 1, 0);
    for (size_t i = 0; i < n; ++i) each(i, [&](uint32_t b, uint32_t) { ++start[b + 1]; });
    for (size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    for (size_t i = 0; i < n; ++i)
        each(i, [&](uint32_t b, uint32_t key) { keys[start[b]++] = key; });
    // start[b] now ends bucket b: shift back to beginnings.
    for (size_t b = start.size() - 1; b > 0; --b) start[b] = start[b - 1];
    start[0] = 0;
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

// Sorts a bucket of a few keys: an insertion sort, without the set-up of a general sort that
// dominates at this size (buckets hold a few to a few tens of keys).
inline void sort_small(uint32_t* first, uint32_t* last) {
    if (last - first > 32) {
        std::sort(first, last);
        return;
    }
    for (uint32_t* it = first + (first != last); it < last; ++it) {
        const uint32_t x = *it;
        uint32_t* j = it;
        for (; j != first && j[-1] > x; --j) *j = j[-1];
        *j = x;
    }
}

// Every leaf's vertices in increasing order, and the local number of each (2 bits apiece).
struct SortedLeaves {
    std::unique_ptr<Sorted[]> sorted;
    std::unique_ptr<uint8_t[]> local;
    std::array<int, 4> local_of(size_t i) const {
        const unsigned p = local[i];
        return {int(p & 3), int(p >> 2 & 3), int(p >> 4 & 3), int(p >> 6)};
    }
};

// A sorting network on (global << 2 | local) keys: min and max compile to branch-free moves,
// and the order of the vertices of a tetrahedron is as good as random. verts_of(i): leaf i's
// four vertices.
template <class VertsOf>
SortedLeaves sort_leaf_vertices(VertsOf verts_of, size_t n, size_t nv) {
    SortedLeaves out{scratch<Sorted>(n), scratch<uint8_t>(n)};
    for (size_t i = 0; i < n; ++i) {
        const int* verts = verts_of(i);
        uint64_t k[4];
        for (int j = 0; j < 4; ++j) {
            if (verts[j] < 0 || size_t(verts[j]) >= nv)
                fail<std::logic_error>("numbering", "a leaf names a vertex that does not exist");
            k[j] = uint64_t(verts[j]) << 2 | uint64_t(j);
        }
        auto order = [&](int a, int b) {
            const uint64_t lo = std::min(k[a], k[b]), hi = std::max(k[a], k[b]);
            k[a] = lo;
            k[b] = hi;
        };
        order(0, 1);
        order(2, 3);
        order(0, 2);
        order(1, 3);
        order(1, 2);
        out.sorted[i] = {uint32_t(k[0] >> 2), uint32_t(k[1] >> 2), uint32_t(k[2] >> 2),
                         uint32_t(k[3] >> 2)};
        out.local[i] = uint8_t((k[0] & 3) | (k[1] & 3) << 2 | (k[2] & 3) << 4 | (k[3] & 3) << 6);
    }
    return out;
}

// Per leaf, the edges v0 v1, v0 v2 and v1 v2 of its sorted vertices (the buckets of its faces),
// and v0 v3, v1 v3 and v2 v3: the records are written once, at the end, with edges and faces
// together.
struct LeafEdges {
    std::unique_ptr<std::array<uint32_t, 3>[]> face_bucket, other;
};

// Numbers the edges (edge_verts, in the order of their sorted vertex pairs) and finds each
// leaf's. `keys` is scratch of 6 n entries, `start` scratch of any size.
LeafEdges number_edges(const Sorted* sorted, size_t n, size_t nv, uint32_t* keys,
                       std::vector<uint32_t>& start, std::vector<std::array<int, 2>>& edge_verts) {
    // Edges: the bucket of the low vertex holds the high vertex of every occurrence.
    bucket(n, nv, start, keys, [&](size_t i, auto&& emit) {
        const Sorted& v = sorted[i];
        emit(v[0], v[1]);
        emit(v[0], v[2]);
        emit(v[0], v[3]);
        emit(v[1], v[2]);
        emit(v[1], v[3]);
        emit(v[2], v[3]);
    });
    // Distinct keys first (a vertex's bucket repeats each edge once per element around it),
    // then sorting only those.
    std::vector<uint32_t> base(nv + 1, 0), seen;
    seen.assign(nv, UINT32_MAX);
    for (size_t v = 0; v < nv; ++v) {
        uint32_t* first = keys + start[v];
        uint32_t count = 0;
        for (uint32_t s = 0; s < start[v + 1] - start[v]; ++s) {
            const uint32_t h = first[s];
            if (seen[h] != v) {
                seen[h] = uint32_t(v);
                first[count++] = h;
            }
        }
        sort_small(first, first + count);
        base[v + 1] = base[v] + count;
    }
    std::vector<uint32_t>().swap(seen);
    // The distinct keys, packed: the searches below then stay in a few megabytes.
    const size_t ne = base[nv];
    if (ne > size_t(INT32_MAX)) fail<std::length_error>("numbering", "too many edges");
    auto dense = scratch<uint32_t>(ne);
    edge_verts.reserve(ne);
    for (size_t v = 0; v < nv; ++v)
        for (uint32_t s = 0; s < base[v + 1] - base[v]; ++s) {
            dense[base[v] + s] = keys[start[v] + s];
            edge_verts.push_back({int(v), int(keys[start[v] + s])});
        }
    // Sorted vertices v0 < v1 < v2 < v3: the bucket of v0 holds v1, v2, v3, that of v1 holds
    // v2, v3, that of v2 holds v3.
    LeafEdges out{scratch<std::array<uint32_t, 3>>(n), scratch<std::array<uint32_t, 3>>(n)};
    const uint32_t* d = dense.get();
    for (size_t i = 0; i < n; ++i) {
        const Sorted& v = sorted[i];
        uint32_t p3[3], p2[2], p1[1];
        positions(d + base[v[0]], base[v[0] + 1] - base[v[0]], {v[1], v[2], v[3]}, ~0u, p3);
        positions(d + base[v[1]], base[v[1] + 1] - base[v[1]], {v[2], v[3]}, ~0u, p2);
        positions(d + base[v[2]], base[v[2] + 1] - base[v[2]], {v[3]}, ~0u, p1);
        out.face_bucket[i] = {base[v[0]] + p3[0], base[v[0]] + p3[1], base[v[1]] + p2[0]};
        out.other[i] = {base[v[0]] + p3[2], base[v[1]] + p2[1], base[v[2]] + p1[0]};
    }
    return out;
}

// The distinct faces, bucket by bucket of the edge of their two lowest vertices: bucket b holds
// the third vertices of its faces in dense[base[b] .. base[b + 1] - 1], each marked with
// kInteriorBit when two leaves share the face.
struct DistinctFaces {
    std::vector<uint32_t> base;
    std::unique_ptr<uint32_t[]> dense;
};

// Sorted vertices v0 < v1 < v2 < v3: faces (v0 v1 v2) and (v0 v1 v3) lie in the bucket of edge
// v0 v1, (v0 v2 v3) in that of v0 v2, (v1 v2 v3) in that of v1 v2. Frees `keys` and `start`.
DistinctFaces distinct_faces(const Sorted* sorted, const LeafEdges& edges, size_t n, size_t ne,
                             std::unique_ptr<uint32_t[]>& keys, std::vector<uint32_t>& start) {
    bucket(n, ne, start, keys.get(), [&](size_t i, auto&& emit) {
        const Sorted& v = sorted[i];
        const auto& fb = edges.face_bucket[i];
        emit(fb[0], v[2]);
        emit(fb[0], v[3]);
        emit(fb[1], v[3]);
        emit(fb[2], v[3]);
    });
    // Each bucket is reduced to its distinct keys, packed towards the front of the buffer: a
    // bucket never starts before the distinct keys of the ones before it end.
    DistinctFaces out{std::vector<uint32_t>(ne + 1, 0), nullptr};
    for (size_t b = 0; b < ne; ++b) {
        uint32_t *first = keys.get() + start[b], *last = keys.get() + start[b + 1];
        sort_small(first, last);
        uint32_t* put = keys.get() + out.base[b];
        for (uint32_t* it = first; it != last;) {
            uint32_t* run = it + 1;
            while (run != last && *run == *it) ++run;
            if (run - it > 2)
                fail<FormatError>("mesh", "a face is shared by more than two elements");
            *put++ = *it | (run - it == 2 ? kInteriorBit : 0);
            it = run;
        }
        out.base[b + 1] = uint32_t(put - keys.get());
    }
    const size_t nf = out.base[ne];
    if (nf > size_t(INT32_MAX)) fail<std::length_error>("numbering", "too many faces");
    out.dense = scratch<uint32_t>(nf);
    std::copy_n(keys.get(), nf, out.dense.get());
    keys.reset();
    std::vector<uint32_t>().swap(start);
    return out;
}

// For every leaf i: its edge numbers (in the element's edge order) into target(i).edges and
// each face k's (opposite local vertex k) through face(target(i), k, number, interior), interior
// telling whether two leaves share the face. The target is the leaf's record when the numbers
// are written in place.
template <class Target, class Face>
void for_each_leaf(const SortedLeaves& leaves, const LeafEdges& edges, const DistinctFaces& faces,
                   size_t n, Target target, Face face) {
    const uint32_t* d = faces.dense.get();
    const std::vector<uint32_t>& base = faces.base;
    for (size_t i = 0; i < n; ++i) {
        auto&& t = target(i);
        const Sorted& v = leaves.sorted[i];
        const auto l = leaves.local_of(i);
        const uint32_t b01 = edges.face_bucket[i][0], b02 = edges.face_bucket[i][1],
                       b12 = edges.face_bucket[i][2];
        const auto& o = edges.other[i];
        t.edges[kEdgeOf[l[0]][l[1]]] = int(b01);
        t.edges[kEdgeOf[l[0]][l[2]]] = int(b02);
        t.edges[kEdgeOf[l[0]][l[3]]] = int(o[0]);
        t.edges[kEdgeOf[l[1]][l[2]]] = int(b12);
        t.edges[kEdgeOf[l[1]][l[3]]] = int(o[1]);
        t.edges[kEdgeOf[l[2]][l[3]]] = int(o[2]);
        uint32_t p01[2], p02[1], p12[1];
        positions(d + base[b01], base[b01 + 1] - base[b01], {v[2], v[3]}, kVertexMask, p01);
        positions(d + base[b02], base[b02 + 1] - base[b02], {v[3]}, kVertexMask, p02);
        positions(d + base[b12], base[b12 + 1] - base[b12], {v[3]}, kVertexMask, p12);
        // Face k is opposite local vertex k: (v0 v1 v2) is opposite l[3], and so on.
        const std::pair<int, uint32_t> found[4] = {{l[3], base[b01] + p01[0]},
                                                   {l[2], base[b01] + p01[1]},
                                                   {l[1], base[b02] + p02[0]},
                                                   {l[0], base[b12] + p12[0]}};
        for (const auto& [k, f] : found) face(t, k, int(f), (d[f] & kInteriorBit) != 0);
    }
}

// Where the numbers of a leaf go when they are handed out instead of written in place.
struct LeafSlots {
    int* edges;  // six
    int* faces;  // four
};

// Numbers the edges (edge_verts) and faces (face_verts, with face_label cleared) of the n leaves
// whose vertices verts_of(i) gives, and hands each leaf's numbers out as for_each_leaf does.
// `ready()` runs just before: a caller whose targets are arrays of its own makes them there, in
// the room the edges' scratch left (made at the start, they would add to the numbering's peak).
template <class VertsOf, class Target, class Face, class Ready>
void number_leaves(GridImpl& g, size_t n, VertsOf verts_of, Target target, Face face, Ready ready) {
    if (n > (size_t(UINT32_MAX) / 6)) fail<std::length_error>("numbering", "too many elements");
    const size_t nv = size_t(g.num_vertices());
    if (nv > size_t(INT32_MAX)) fail<std::length_error>("numbering", "too many vertices");
    SortedLeaves leaves = sort_leaf_vertices(verts_of, n, nv);

    // The previous numbering's arrays go first, so that they do not add to the peak.
    std::vector<std::array<int, 2>>().swap(g.edge_verts);
    std::vector<std::array<int, 3>>().swap(g.face_verts);
    std::vector<int>().swap(g.face_label);

    std::vector<uint32_t> start;
    // Edge occurrences, then face occurrences: one buffer, so that its pages are mapped and
    // cleared once (first touch of fresh memory is a good part of the time).
    auto keys = scratch<uint32_t>(6 * n);
    LeafEdges edges = number_edges(leaves.sorted.get(), n, nv, keys.get(), start, g.edge_verts);
    const size_t ne = g.edge_verts.size();
    const DistinctFaces faces = distinct_faces(leaves.sorted.get(), edges, n, ne, keys, start);
    g.face_label.assign(faces.base.back(), 0);
    ready();
    for_each_leaf(leaves, edges, faces, n, target, face);
    leaves = {};
    edges = {};
    g.face_verts.reserve(faces.base[ne]);
    for (size_t b = 0; b < ne; ++b)
        for (uint32_t s = faces.base[b]; s < faces.base[b + 1]; ++s)
            g.face_verts.push_back(
                {g.edge_verts[b][0], g.edge_verts[b][1], int(faces.dense[s] & kVertexMask)});
    ++g.numbering_generation;
}

}  // namespace

void GridImpl::number_leaf_mesh() {
    number_leaves(
        *this, size_t(num_leaves()), [&](size_t i) { return leaf(int(i)).verts; },
        [&](size_t i) -> ELEMENT_& {
            ELEMENT_& e = leaf(int(i));
            e.index = int(i);
            return e;
        },
        [&](ELEMENT_& e, int k, int f, bool interior) {
            e.faces[k] = f;
            // A face keeps the label set its leaf carries: an interior one only an interface's
            // (negative code), a boundary one at least kUnlabelledBoundary.
            int code = e.label[k];
            if (interior)
                code = code < 0 ? code : 0;
            else if (!is_boundary_code(code))
                code = kUnlabelledBoundaryCode;
            e.label[k] = code;
            face_label[size_t(f)] = code;
        },
        [] {});
    update_record();
}

void GridImpl::number_leaf_entities(std::span<const std::array<int, 4>> leaf_verts,
                                    std::vector<int>& edges, std::vector<int>& faces) {
    const size_t n = leaf_verts.size();
    number_leaves(
        *this, n, [&](size_t i) { return leaf_verts[i].data(); },
        [&](size_t i) { return LeafSlots{&edges[6 * i], &faces[4 * i]}; },
        [](const LeafSlots& t, int k, int f, bool) { t.faces[k] = f; },
        [&] {
            edges.resize(6 * n);
            faces.resize(4 * n);
        });
}

GRID_ GridImpl::counts() const {
    GRID_ c{};
    c.nelem = owned_leaf_count();
    c.nvert_local = num_vertices();
    c.nedge_local = int(edge_verts.size());
    c.nface_local = int(face_verts.size());
    c.nelem_local = num_leaves();
    if (part.active) {
        c.nvert_global = int(part.vertices.global_size());
        c.nedge_global = int(part.edges.global_size());
        c.nface_global = int(part.faces.global_size());
        c.nelem_global = int(part.elements.global_size());
    } else {
        c.nvert_global = c.nvert_local;
        c.nedge_global = c.nedge_local;
        c.nface_global = c.nface_local;
        c.nelem_global = c.nelem_local;
    }
    c.store_id = store_id_;
    return c;
}

void GridImpl::update_record() {
    if (!record) return;
    GRID_ c = counts();
    c.vertex_count = nullptr;
    c.impl = record->impl;
    *record = c;
}

}  // namespace mosk
