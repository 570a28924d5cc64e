// Messages that carry leaves between processes (a migration, a mesh read on one process and dealt
// out): per message the leaves its receiver will own, then the ghosts it needs, then the
// vertices of both. A leaf is named by a key (a number every sender uses alike), its vertices by
// their numbers in the sender's numbering that all senders share; the receiver drops what it
// receives twice.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/check.h"
#include "core/point.h"
#include "grid/part_assembly.h"

namespace mosk {

// The leaves around each vertex: around[start[v] .. start[v + 1]), for `num_leaves` leaves whose
// vertices verts_of(i) gives (four numbers below num_vertices).
struct LeavesAround {
    std::vector<int> start, around;
};
template <class VertsOf>
LeavesAround leaves_around(int num_vertices, int num_leaves, VertsOf&& verts_of) {
    // Four corners per leaf must be countable in `start`.
    if (num_leaves > INT_MAX / 4)
        fail<std::length_error>("grid part", "one process would hold " +
                                                 std::to_string(num_leaves) +
                                                 " elements, more than the " +
                                                 std::to_string(INT_MAX / 4) + " it can hand on");
    LeavesAround a;
    a.start.assign(size_t(num_vertices) + 1, 0);
    for (int i = 0; i < num_leaves; ++i)
        for (int v : verts_of(i)) ++a.start[size_t(v) + 1];
    for (size_t v = 1; v < a.start.size(); ++v) a.start[v] += a.start[v - 1];
    a.around.resize(size_t(a.start.back()));
    std::vector<int> fill(a.start.begin(), a.start.end() - 1);
    for (int i = 0; i < num_leaves; ++i)
        for (int v : verts_of(i)) a.around[size_t(fill[size_t(v)]++)] = i;
    return a;
}

struct LeafMessage {
    std::vector<int64_t> words;
    std::vector<double> xyz;
};

// Starts a message of `owned` leaves for its receiver, `ghosts` ghost leaves and `vertices`
// vertices; then add_vertex for each vertex (the k-th one added is the message's vertex k), then
// add_leaf for each leaf, owned ones first, its vertices given as message vertices.
void begin_message(LeafMessage& m, size_t owned, size_t ghosts, size_t vertices);
void add_vertex(LeafMessage& m, int64_t number, const Point& x);
void add_leaf(LeafMessage& m, int64_t key, int owner, const std::array<int, 4>& verts,
              const std::array<int, 4>& face_codes, int label);

// Where an owned leaf of the receiver came from: the sending process and the leaf's position
// among that sender's owned leaves for the receiver.
struct LeafOrigin {
    int from, at;
};

// The held leaves that the messages from every process (words[p], xyz[p]) make up: the owned
// leaves ordered by key, then the ghosts ordered by key, each once. `origins` receives each owned
// leaf's origin, `numbers` (when given) the vertices' numbers in the order of held.coords
// (increasing). Throws std::logic_error naming `op` for messages that do not fit together.
HeldLeaves unpack_leaves(const std::vector<std::vector<int64_t>>& words,
                         const std::vector<std::vector<double>>& xyz,
                         std::vector<LeafOrigin>& origins, const char* op,
                         std::vector<int64_t>* numbers = nullptr);

}  // namespace mosk
