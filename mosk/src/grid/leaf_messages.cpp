// Messages that carry leaves between processes: the layout of one message, and the held leaves
// that a process makes of the messages it received.
#include "grid/leaf_messages.h"

#include <algorithm>
#include <stdexcept>

#include "core/check.h"

namespace mosk {
namespace {

// Words of a leaf: key, owner, 4 vertex numbers, 4 face codes, volume label.
constexpr size_t kLeafWords = 11;
constexpr size_t kHeaderWords = 3;  // owned leaves, ghost leaves, vertices

// A leaf in a received message.
struct Received {
    int64_t key;
    int from;
    size_t at;     // its first word
    int position;  // among the sender's owned leaves for this process, -1 for a ghost
};

struct Vertex {
    int64_t number;
    const double* x;
};

}  // namespace

void begin_message(LeafMessage& m, size_t owned, size_t ghosts, size_t vertices) {
    m.words.clear();
    m.words.reserve(kHeaderWords + kLeafWords * (owned + ghosts) + vertices);
    m.words = {int64_t(owned), int64_t(ghosts), int64_t(vertices)};
    m.xyz.clear();
    m.xyz.reserve(3 * vertices);
}

void add_leaf(LeafMessage& m, int64_t key, int owner, const std::array<int64_t, 4>& verts,
              const std::array<int, 4>& face_codes, int label) {
    m.words.push_back(key);
    m.words.push_back(owner);
    m.words.insert(m.words.end(), verts.begin(), verts.end());
    m.words.insert(m.words.end(), face_codes.begin(), face_codes.end());
    m.words.push_back(label);
}

void add_vertex(LeafMessage& m, int64_t number, const Point& x) {
    m.words.push_back(number);
    m.xyz.insert(m.xyz.end(), x.begin(), x.end());
}

HeldLeaves unpack_leaves(const std::vector<std::vector<int64_t>>& words,
                         const std::vector<std::vector<double>>& xyz,
                         std::vector<LeafOrigin>& origins, const char* op) {
    std::vector<Received> owned, ghosts;
    std::vector<Vertex> vertices;
    for (size_t p = 0; p < words.size(); ++p) {
        const std::vector<int64_t>& w = words[p];
        if (w.empty()) continue;
        const bool header = w.size() >= kHeaderWords && w[0] >= 0 && w[1] >= 0 && w[2] >= 0;
        const size_t no = header ? size_t(w[0]) : 0, ng = header ? size_t(w[1]) : 0,
                     nv = header ? size_t(w[2]) : 0;
        if (!header || w.size() != kHeaderWords + kLeafWords * (no + ng) + nv || p >= xyz.size() ||
            xyz[p].size() != 3 * nv)
            fail<std::logic_error>(op, "a message of leaves does not fit together");
        for (size_t k = 0; k < no + ng; ++k) {
            const size_t at = kHeaderWords + kLeafWords * k;
            (k < no ? owned : ghosts).push_back({w[at], int(p), at, k < no ? int(k) : -1});
        }
        const size_t first_vertex = kHeaderWords + kLeafWords * (no + ng);
        for (size_t k = 0; k < nv; ++k)
            vertices.push_back({w[first_vertex + k], xyz[p].data() + 3 * k});
    }
    auto by_key = [](const Received& a, const Received& b) { return a.key < b.key; };
    auto same_key = [](const Received& a, const Received& b) { return a.key == b.key; };
    std::sort(owned.begin(), owned.end(), by_key);
    if (std::adjacent_find(owned.begin(), owned.end(), same_key) != owned.end())
        fail<std::logic_error>(op, "a leaf arrived twice at its owner");
    std::sort(ghosts.begin(), ghosts.end(), by_key);
    ghosts.erase(std::unique(ghosts.begin(), ghosts.end(), same_key), ghosts.end());
    std::sort(vertices.begin(), vertices.end(),
              [](const Vertex& a, const Vertex& b) { return a.number < b.number; });
    vertices.erase(
        std::unique(vertices.begin(), vertices.end(),
                    [](const Vertex& a, const Vertex& b) { return a.number == b.number; }),
        vertices.end());

    HeldLeaves held;
    held.owned = int(owned.size());
    const size_t n = owned.size() + ghosts.size();
    held.key.reserve(n);
    held.owner.reserve(n);
    held.verts.reserve(n);
    held.face_codes.reserve(n);
    held.label.reserve(n);
    held.coords.reserve(vertices.size());
    for (const Vertex& v : vertices) held.coords.push_back({v.x[0], v.x[1], v.x[2]});
    auto position_of = [&](int64_t number) {
        auto it = std::lower_bound(vertices.begin(), vertices.end(), number,
                                   [](const Vertex& v, int64_t x) { return v.number < x; });
        if (it == vertices.end() || it->number != number)
            fail<std::logic_error>(op, "a leaf names a vertex that did not come with it");
        return int(it - vertices.begin());
    };
    origins.clear();
    origins.reserve(owned.size());
    for (const auto* list : {&owned, &ghosts})
        for (const Received& r : *list) {
            const int64_t* w = words[size_t(r.from)].data() + r.at;
            held.key.push_back(w[0]);
            held.owner.push_back(int(w[1]));
            std::array<int, 4> verts, codes;
            for (size_t k = 0; k < 4; ++k) {
                verts[k] = position_of(w[2 + k]);
                codes[k] = int(w[6 + k]);
            }
            held.verts.push_back(verts);
            held.face_codes.push_back(codes);
            held.label.push_back(int(w[10]));
            if (r.position >= 0) origins.push_back({r.from, r.position});
        }
    return held;
}

}  // namespace mosk
