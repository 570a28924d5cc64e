// Numbering of the leaf mesh: edges and faces get global numbers by sorting the leaves' local
// edges and faces by their vertex keys; a face met once is a boundary face.
#include <algorithm>

#include "grid/grid_impl.h"
#include "mosk_errors.h"

namespace mosk {
namespace {

struct EdgeSlot {
    uint64_t key;  // low vertex << 32 | high vertex
    uint32_t slot; // leaf * 6 + local edge
};

struct FaceSlot {
    std::array<int, 3> key;  // sorted vertices
    uint32_t slot;           // leaf * 4 + local face
};

}  // namespace

void GridImpl::number_leaf_mesh() {
    const size_t n = leaves.size();
    if (n > (size_t(UINT32_MAX) / 6))
        throw std::length_error("mosk: numbering: too many elements");

    {
        std::vector<EdgeSlot> slots(n * 6);
        for (size_t i = 0; i < n; ++i) {
            const ELEMENT_& e = leaf(int(i));
            for (int k = 0; k < 6; ++k) {
                uint64_t a = uint32_t(e.verts[kEdgeVerts[k][0]]);
                uint64_t b = uint32_t(e.verts[kEdgeVerts[k][1]]);
                if (a > b) std::swap(a, b);
                slots[i * 6 + k] = {a << 32 | b, uint32_t(i * 6 + k)};
            }
        }
        std::sort(slots.begin(), slots.end(),
                  [](const EdgeSlot& x, const EdgeSlot& y) { return x.key < y.key; });
        edge_verts.clear();
        for (size_t s = 0; s < slots.size(); ++s) {
            if (s == 0 || slots[s].key != slots[s - 1].key)
                edge_verts.push_back({int(slots[s].key >> 32), int(slots[s].key & 0xffffffffu)});
            leaf(int(slots[s].slot / 6)).edges[slots[s].slot % 6] = int(edge_verts.size() - 1);
        }
        edge_verts.shrink_to_fit();
    }

    {
        std::vector<FaceSlot> slots(n * 4);
        for (size_t i = 0; i < n; ++i) {
            const ELEMENT_& e = leaf(int(i));
            for (int k = 0; k < 4; ++k) {
                std::array<int, 3> key = {e.verts[kFaceVerts[k][0]], e.verts[kFaceVerts[k][1]],
                                          e.verts[kFaceVerts[k][2]]};
                std::sort(key.begin(), key.end());
                slots[i * 4 + k] = {key, uint32_t(i * 4 + k)};
            }
        }
        std::sort(slots.begin(), slots.end(),
                  [](const FaceSlot& x, const FaceSlot& y) { return x.key < y.key; });
        face_verts.clear();
        face_label.clear();
        for (size_t s = 0; s < slots.size();) {
            size_t t = s + 1;
            while (t < slots.size() && slots[t].key == slots[s].key) ++t;
            if (t - s > 2)
                throw FormatError("mosk: mesh: a face is shared by more than two elements");
            const int f = int(face_verts.size());
            face_verts.push_back(slots[s].key);
            int label = 0;
            if (t - s == 1) {
                const ELEMENT_& e = leaf(int(slots[s].slot / 4));
                label = e.label[slots[s].slot % 4];
                if (label == 0) label = kUnlabelledBoundary;
            }
            face_label.push_back(label);
            for (size_t u = s; u < t; ++u) {
                ELEMENT_& e = leaf(int(slots[u].slot / 4));
                e.faces[slots[u].slot % 4] = f;
                e.label[slots[u].slot % 4] = label;
            }
            s = t;
        }
        face_verts.shrink_to_fit();
        face_label.shrink_to_fit();
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
