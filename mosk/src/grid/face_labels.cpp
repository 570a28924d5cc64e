// Labels of faces and elements: the label sets behind the codes that element records carry, the
// labels of the boundary and the volume label of a leaf.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/check.h"
#include "grid/geometry.h"
#include "grid/grid_impl.h"

namespace mosk {

int GridImpl::label_code(const std::vector<int>& labels, bool boundary) {
    if (labels.empty()) return boundary ? kUnlabelledBoundaryCode : 0;
    auto it = std::find(label_sets.begin() + 1, label_sets.end(), labels);
    if (it == label_sets.end()) {
        if (label_sets.size() >= size_t(INT32_MAX))
            fail<std::length_error>("face labels", "too many distinct label sets");
        it = label_sets.insert(label_sets.end(), labels);
    }
    const int code = int(it - label_sets.begin());
    return boundary ? code : -code;
}

std::vector<int> GridImpl::boundary_labels() const {
    if (part.active) return part.boundary_labels;  // a part may miss some of them
    std::vector<uint8_t> used(label_sets.size(), 0);
    for (int code : face_label)
        if (is_boundary_code(code)) used[size_t(code)] = 1;
    std::vector<int> out;
    for (size_t c = 0; c < used.size(); ++c)
        if (used[c]) out.insert(out.end(), label_sets[c].begin(), label_sets[c].end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

int GridImpl::element_label(const ELEMENT_& e) const {
    int root = e.record;
    while (tree(root).parent >= 0) root = tree(root).parent;
    return size_t(root) < root_label.size() ? root_label[size_t(root)] : 0;
}

}  // namespace mosk

using namespace mosk;

namespace {

// Copies `labels` into out (at most `capacity`); returns how many there are.
int copy_labels(const std::vector<int>& labels, int* out, int capacity) {
    if (capacity > 0 && !out) fail<std::invalid_argument>("labels", "null output pointer");
    const int n = int(labels.size());
    std::copy_n(labels.begin(), std::min(n, std::max(capacity, 0)), out);
    return n;
}

}  // namespace

extern "C" {

int moskFaceLabels(GRID_* grid, ELEMENT_* e, int face, int* out, int capacity) {
    const char* op = "face labels";
    const GridImpl& g = impl_of(grid);
    const ELEMENT_& el = require_leaf(g, e, op);
    check_face(face, op);
    return copy_labels(g.labels_of(el.label[face]), out, capacity);
}

int moskElementLabel(GRID_* grid, ELEMENT_* e) {
    const GridImpl& g = impl_of(grid);
    return g.element_label(require_leaf(g, e, "element label"));
}

int moskBoundaryLabels(GRID_* grid, int* out, int capacity) {
    return copy_labels(impl_of(grid).boundary_labels(), out, capacity);
}

}  // extern "C"
