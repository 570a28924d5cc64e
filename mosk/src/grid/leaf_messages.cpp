// Messages that carry leaves between processes: the layout of one message, and the held leaves
// that a process makes of the messages it received.
#include "grid/leaf_messages.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "core/check.h"

namespace mosk {
namespace {

// Layout: a header (owned leaves, ghost leaves, vertices), the vertices' numbers, then per leaf
// its key, (owner, volume label), its 4 message vertices and 4 face codes, two 32-bit numbers a
// word. The coordinates travel apart.
constexpr size_t kHeaderWords = 3;
constexpr size_t kLeafWords = 6;

int64_t pair_word(int a, int b) {
    return int64_t(uint64_t(uint32_t(a)) | uint64_t(uint32_t(b)) << 32);
}
int low_of(int64_t w) { return int(int32_t(uint32_t(uint64_t(w)))); }
int high_of(int64_t w) { return int(int32_t(uint32_t(uint64_t(w) >> 32))); }

// A leaf in a received message.
struct Received {
    int64_t key;
    int from;
    size_t at;     // its first word
    int position;  // among the sender's owned leaves for this process, -1 for a ghost
};

// A vertex in a received message.
struct Vertex {
    int64_t number;
    int from, index;
};

}  // namespace

void begin_message(LeafMessage& m, size_t owned, size_t ghosts, size_t vertices) {
    m.words.clear();
    m.words.reserve(kHeaderWords + kLeafWords * (owned + ghosts) + vertices);
    m.words = {int64_t(owned), int64_t(ghosts), int64_t(vertices)};
    m.xyz.clear();
    m.xyz.reserve(3 * vertices);
}

void add_vertex(LeafMessage& m, int64_t number, const Point& x) {
    m.words.push_back(number);
    m.xyz.insert(m.xyz.end(), x.begin(), x.end());
}

void add_leaf(LeafMessage& m, int64_t key, int owner, const std::array<int, 4>& verts,
              const std::array<int, 4>& face_codes, int label) {
    m.words.push_back(key);
    m.words.push_back(pair_word(owner, label));
    m.words.push_back(pair_word(verts[0], verts[1]));
    m.words.push_back(pair_word(verts[2], verts[3]));
    m.words.push_back(pair_word(face_codes[0], face_codes[1]));
    m.words.push_back(pair_word(face_codes[2], face_codes[3]));
}

HeldLeaves unpack_leaves(const std::vector<std::vector<int64_t>>& words,
                         const std::vector<std::vector<double>>& xyz,
                         std::vector<LeafOrigin>& origins, const char* op,
                         std::vector<int64_t>* numbers) {
    auto malformed = [&] {
        fail<std::logic_error>(op, "a message of leaves does not fit together");
    };
    std::vector<Received> owned, ghosts;
    std::vector<Vertex> vertices;
    for (size_t p = 0; p < words.size(); ++p) {
        const std::vector<int64_t>& w = words[p];
        if (w.empty()) continue;
        const bool header = w.size() >= kHeaderWords && w[0] >= 0 && w[1] >= 0 && w[2] >= 0;
        const size_t no = header ? size_t(w[0]) : 0, ng = header ? size_t(w[1]) : 0,
                     nv = header ? size_t(w[2]) : 0;
        if (!header || w.size() != kHeaderWords + nv + kLeafWords * (no + ng) || p >= xyz.size() ||
            xyz[p].size() != 3 * nv || nv > size_t(INT32_MAX))
            malformed();
        for (size_t k = 0; k < nv; ++k) vertices.push_back({w[kHeaderWords + k], int(p), int(k)});
        for (size_t k = 0; k < no + ng; ++k) {
            const size_t at = kHeaderWords + nv + kLeafWords * k;
            (k < no ? owned : ghosts).push_back({w[at], int(p), at, k < no ? int(k) : -1});
        }
    }
    auto by_key = [](const Received& a, const Received& b) { return a.key < b.key; };
    auto same_key = [](const Received& a, const Received& b) { return a.key == b.key; };
    std::sort(owned.begin(), owned.end(), by_key);
    if (std::adjacent_find(owned.begin(), owned.end(), same_key) != owned.end())
        fail<std::logic_error>(op, "a leaf arrived twice at its owner");
    std::sort(ghosts.begin(), ghosts.end(), by_key);
    ghosts.erase(std::unique(ghosts.begin(), ghosts.end(), same_key), ghosts.end());

    HeldLeaves held;
    if (numbers) numbers->clear();
    // Each message vertex's position among the distinct vertices (ordered by number).
    std::vector<std::vector<int>> position(words.size());
    for (size_t p = 0; p < words.size(); ++p)
        if (!words[p].empty()) position[p].resize(size_t(words[p][2]));
    std::sort(vertices.begin(), vertices.end(),
              [](const Vertex& a, const Vertex& b) { return a.number < b.number; });
    for (size_t k = 0; k < vertices.size(); ++k) {
        const Vertex& v = vertices[k];
        if (k == 0 || v.number != vertices[k - 1].number) {
            const double* x = xyz[size_t(v.from)].data() + 3 * size_t(v.index);
            held.coords.push_back({x[0], x[1], x[2]});
            if (numbers) numbers->push_back(v.number);
        }
        position[size_t(v.from)][size_t(v.index)] = int(held.coords.size()) - 1;
    }
    std::vector<Vertex>().swap(vertices);

    held.owned = int(owned.size());
    const size_t n = owned.size() + ghosts.size();
    held.key.reserve(n);
    held.owner.reserve(n);
    held.verts.reserve(n);
    held.face_codes.reserve(n);
    held.label.reserve(n);
    origins.clear();
    origins.reserve(owned.size());
    for (const auto* list : {&owned, &ghosts})
        for (const Received& r : *list) {
            const int64_t* w = words[size_t(r.from)].data() + r.at;
            const std::vector<int>& at = position[size_t(r.from)];
            const std::array<int, 4> local = {low_of(w[2]), high_of(w[2]), low_of(w[3]),
                                              high_of(w[3])};
            std::array<int, 4> verts;
            for (size_t k = 0; k < 4; ++k) {
                if (local[k] < 0 || size_t(local[k]) >= at.size()) malformed();
                verts[k] = at[size_t(local[k])];
            }
            held.key.push_back(w[0]);
            held.owner.push_back(low_of(w[1]));
            held.label.push_back(high_of(w[1]));
            held.verts.push_back(verts);
            held.face_codes.push_back({low_of(w[4]), high_of(w[4]), low_of(w[5]), high_of(w[5])});
            if (r.position >= 0) origins.push_back({r.from, r.position});
        }
    return held;
}

}  // namespace mosk
