#include "grid/part_assembly.h"

#include <algorithm>
#include <climits>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/check.h"
#include "core/index_map.h"
#include "core/parallel.h"
#include "grid/grid_impl.h"

namespace mosk {
namespace {

// The held leaves as the numbering of their entities sees them.
struct NumberedLeaves {
    std::span<const int> owner;
    std::vector<int> by_number;  // positions in increasing global number
    size_t owned = 0;
    const IndexMap& map;
    int rank = 0, comm = -1;
    size_t below = 0;  // of by_number, the ghosts numbered below the owned leaves
};

// The local entries of `map` in increasing global number: the owned ones are numbered in their
// order, so only the ghosts are sorted.
std::vector<int> by_global_number(const IndexMap& map) {
    std::vector<int> ghosts(size_t(map.num_ghosts()));
    std::iota(ghosts.begin(), ghosts.end(), map.num_owned());
    std::sort(ghosts.begin(), ghosts.end(),
              [&](int a, int b) { return map.global(a) < map.global(b); });
    const auto above = std::partition_point(ghosts.begin(), ghosts.end(),
                                            [&](int i) { return map.global(i) < map.offset(); });
    std::vector<int> order;
    order.reserve(size_t(map.size()));
    order.insert(order.end(), ghosts.begin(), above);
    for (int i = 0; i < map.num_owned(); ++i) order.push_back(i);
    order.insert(order.end(), above, ghosts.end());
    return order;
}

// Local numbers, owners and the index map of one kind of entity (vertices, edges or faces).
struct Entities {
    std::vector<int> local;  // the caller's number of an entity -> its local number in `map`
    IndexMap map;            // the owned entities first, then the ghosts
};

// Numbers the entities that `ids` names (`per` per leaf, numbers below `bound` in this
// process's own numbering, each on some leaf). Owner: the owner of the lowest-numbered leaf
// around the entity; key in the map: that leaf's number times `per` plus the entity's index in
// it, one 64-bit identity that every process holding the entity finds alike. Every leaf around
// an entity of an owned leaf is held, so owner and key of such an entity are found here; an
// entity of ghost leaves only takes the owner and key that a ghost leaf's owner found.
Entities number_entities(const NumberedLeaves& p, size_t per, std::span<const int> ids,
                         size_t bound) {
    // Per entity: its occurrence (leaf * per + index) on the lowest-numbered held leaf around it,
    // or -2 - t for an entity of ghost leaves only, whose owner and key told[t] holds. The leaves
    // in increasing number are the ghosts below this process's range, the owned leaves in their
    // order, the ghosts above. An entity met first on an owned leaf is owned: it takes the next
    // local number there, so that the owned entities follow their keys (leaf by leaf, each at its
    // lowest leaf), and the index map finds them without sorting. The ghosts follow. local[d] is
    // -2 for an entity of an owned leaf that is not owned, -1 for one of ghost leaves only.
    // Both numbers of an entity side by side: one cache line serves the pass over the leaves.
    struct Seen {
        int first = -1, local = -1;
    };
    std::vector<Seen> seen(bound);
    std::vector<int64_t> keys;
    keys.reserve(bound);
    std::vector<int> ghostly;  // entities met first on a ghost leaf, in the order met
    auto meet_on_ghost = [&](int i) {
        for (size_t k = 0; k < per; ++k) {
            const size_t j = size_t(i) * per + k, d = size_t(ids[j]);
            if (seen[d].first >= 0) continue;
            seen[d].first = int(j);
            ghostly.push_back(int(d));
        }
    };
    for (size_t at = 0; at < p.below; ++at) meet_on_ghost(p.by_number[at]);
    const int64_t key0 = p.map.offset() * int64_t(per);  // owned leaf i's number: offset + i
    for (size_t j = 0; j < per * p.owned; ++j) {
        const size_t d = size_t(ids[j]);
        if (seen[d].first < 0) {
            seen[d].first = int(j);
            seen[d].local = int(keys.size());
            keys.push_back(key0 + int64_t(j));
        } else if (seen[d].local == -1) {
            seen[d].local = -2;
        }
    }
    for (size_t at = p.below + p.owned; at < p.by_number.size(); ++at)
        meet_on_ghost(p.by_number[at]);
    // Owner and key in one word (keys stay below 6 * 2^31 < 2^34, owners below 2^19).
    constexpr int kOwnerShift = 34;
    constexpr int64_t kKeyMask = (int64_t(1) << kOwnerShift) - 1;
    std::vector<int64_t> told;
    auto owner_and_key = [&](size_t d) {
        const int f = seen[d].first;
        if (f < 0) return told[size_t(-2 - f)];
        const size_t leaf = size_t(f) / per;
        return int64_t(p.owner[leaf]) << kOwnerShift |
               (p.map.global(int(leaf)) * int64_t(per) + int64_t(size_t(f) % per));
    };
    // The ghost leaves' entities as each leaf's owner found them: only the leaves that another
    // process ghosts travel.
    std::vector<std::vector<int64_t>> out(size_t(process_count(p.comm)));
    for (const IndexMap::Neighbour& to : p.map.ghosted_by()) {
        std::vector<int64_t>& o = out[size_t(to.rank)];
        o.reserve(to.local.size() * per);
        for (int i : to.local)
            for (size_t k = 0; k < per; ++k)
                o.push_back(owner_and_key(size_t(ids[size_t(i) * per + k])));
    }
    const std::vector<std::vector<int64_t>> in = all_to_all(p.comm, std::move(out));
    bool misfit = false;  // agreed below: the other processes would wait in the index map
    std::vector<size_t> at(in.size(), 0);
    for (int gh = 0; gh < p.map.num_ghosts(); ++gh) {
        const size_t q = size_t(p.map.ghost_owner(gh));
        if (in[q].size() < at[q] + per) {
            misfit = true;
            break;
        }
        for (size_t k = 0; k < per; ++k) {
            const size_t d = size_t(ids[(p.owned + size_t(gh)) * per + k]);
            const int64_t found = in[q][at[q]++];
            if (seen[d].local != -1 || seen[d].first <= -2) continue;
            seen[d].first = -2 - int(told.size());
            told.push_back(found);
        }
    }

    const size_t mine = keys.size();
    std::vector<int> ghost_owner;
    ghost_owner.reserve(ghostly.size());
    for (int d : ghostly) {
        const int64_t x = owner_and_key(size_t(d));
        const int owner = int(x >> kOwnerShift);
        if (owner == p.rank) {  // an entity of ghost leaves only cannot be owned here
            misfit = true;
            continue;
        }
        seen[size_t(d)].local = int(keys.size());
        keys.push_back(x & kKeyMask);
        ghost_owner.push_back(owner);
    }
    Entities result;
    result.local.resize(bound);
    for (size_t d = 0; d < bound; ++d) result.local[d] = seen[d].local;
    std::vector<Seen>().swap(seen);
    if (on_any_process(p.comm, misfit))
        fail<std::logic_error>("grid part", "the ghost leaves' entities do not fit together");
    result.map =
        IndexMap(p.comm, std::span(keys).first(mine), ghost_owner, std::span(keys).subspan(mine));
    return result;
}

// Element, vertex, edge and face numbers are 32-bit (and leaf numbers make the entities' keys
// above): a grid with more of one kind is refused, on every process alike (the global count is
// the same everywhere), before anything is made of it.
void check_count(const IndexMap& map, const char* what) {
    if (map.global_size() > INT_MAX)
        fail<std::length_error>("grid part", "the grid would have " +
                                                 std::to_string(map.global_size()) + " " + what +
                                                 " over all processes, more than the " +
                                                 std::to_string(INT_MAX) + " its numbers hold");
}

// Agreed over the processes: a process that refused alone would leave the others waiting in the
// exchanges that follow.
void check_shapes(int comm, const HeldLeaves& h) {
    const size_t n = h.key.size();
    bool ok = h.owned >= 0 && size_t(h.owned) <= n && h.owner.size() == n && h.verts.size() == n &&
              h.face_codes.size() == n && h.label.size() == n &&
              h.coords.size() <= size_t(INT_MAX) && n <= size_t(INT_MAX) / 6 &&
              process_count(comm) < (1 << 19);
    for (size_t i = 0; ok && i < n; ++i)
        for (int v : h.verts[i]) ok = ok && v >= 0 && size_t(v) < h.coords.size();
    if (on_any_process(comm, !ok))
        fail<std::logic_error>("grid part", "the held leaves do not fit together");
}

// The labels that boundary faces of the owned leaves (their face codes `owned`) carry, over
// every process.
std::vector<int> boundary_labels_of(const GridImpl& g, std::span<const std::array<int, 4>> owned) {
    std::vector<int> mine;
    for (const std::array<int, 4>& codes : owned)
        for (int code : codes)
            if (is_boundary_code(code)) {
                const std::vector<int>& labels = g.labels_of(code);
                mine.insert(mine.end(), labels.begin(), labels.end());
            }
    std::sort(mine.begin(), mine.end());
    mine.erase(std::unique(mine.begin(), mine.end()), mine.end());
    std::vector<int> all = gather_all(g.comm, mine);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

// The part's edges or faces in the order of their index map: `ids` (`per` numbers per leaf, in
// this process's numbering) and their vertices (`ends`, edge_verts or face_verts) follow it.
template <size_t Ends>
Entities renumber(const NumberedLeaves& p, size_t per, std::vector<int>& ids,
                  std::vector<std::array<int, Ends>>& ends, const char* what) {
    Entities out = number_entities(p, per, ids, ends.size());
    check_count(out.map, what);
    std::vector<std::array<int, Ends>> moved(ends.size());
    for (size_t d = 0; d < ends.size(); ++d) moved[size_t(out.local[d])] = ends[d];
    ends.swap(moved);
    for (int& number : ids) number = out.local[size_t(number)];
    std::vector<int>().swap(out.local);
    return out;
}

}  // namespace

void reserve_held_leaves(HeldLeaves& held, size_t leaves, size_t vertices) {
    held.verts.reserve(leaves);
    held.face_codes.reserve(leaves);
    held.label.reserve(leaves);
    held.coords.reserve(vertices);
}

void append_held_leaf(HeldLeaves& held, const GridImpl& grid, const int (&verts)[4],
                      const int (&codes)[4], int label, std::vector<int>& held_at) {
    std::array<int, 4> at{};
    for (size_t k = 0; k < 4; ++k) {
        int& x = held_at[size_t(verts[k])];
        if (x < 0) {
            x = int(held.coords.size());
            held.coords.push_back(grid.vertex(verts[k]));
        }
        at[k] = x;
    }
    held.verts.push_back(at);
    held.face_codes.push_back({codes[0], codes[1], codes[2], codes[3]});
    held.label.push_back(label);
}

void append_held_leaf(HeldLeaves& held, const GridImpl& grid, const ELEMENT_& e,
                      std::vector<int>& held_at) {
    append_held_leaf(held, grid, e.verts, e.label, grid.element_label(e), held_at);
}

void assemble_part(GridImpl& g, HeldLeaves&& h) {
    check_shapes(g.comm, h);
    const size_t n = h.key.size(), owned = size_t(h.owned), nv = h.coords.size();
    IndexMap elements(g.comm, std::span(h.key).first(owned), std::span(h.owner).subspan(owned),
                      std::span(h.key).subspan(owned));
    check_count(elements, "elements");
    NumberedLeaves p{h.owner, {}, owned, elements, g.rank, g.comm};
    p.by_number = by_global_number(elements);
    // The owned leaves sit in by_number in their order, after the ghosts below them.
    p.below =
        owned == 0
            ? p.by_number.size()
            : size_t(std::find(p.by_number.begin(), p.by_number.end(), 0) - p.by_number.begin());

    // Vertices: numbered, then stored in the order of their global numbers. The leaves' vertices
    // are read where they are, four to a leaf.
    static_assert(sizeof(std::array<int, 4>) == 4 * sizeof(int));
    Entities vertices =
        number_entities(p, 4, {h.verts.empty() ? nullptr : h.verts[0].data(), 4 * n}, nv);
    check_count(vertices.map, "vertices");
    std::vector<int>& local_of = vertices.local;  // held vertex -> local number in the vertex map
    // stored vertex -> local number in the vertex map
    std::vector<int> position = by_global_number(vertices.map);
    std::vector<int> stored_at(position.size());
    for (size_t s = 0; s < position.size(); ++s) stored_at[size_t(position[s])] = int(s);
    {
        std::vector<int> held_at(position.size());  // local number -> held vertex
        for (size_t x = 0; x < nv; ++x)
            if (local_of[x] >= 0) held_at[size_t(local_of[x])] = int(x);
        for (int local : position) g.add_vertex(h.coords[size_t(held_at[size_t(local)])]);
    }
    std::vector<Point>().swap(h.coords);
    // The leaves' vertices as stored, in place of the held ones.
    for (std::array<int, 4>& verts : h.verts)
        for (int& v : verts) v = stored_at[size_t(local_of[size_t(v)])];
    // The boundary labels while the face codes are compact.
    g.part.boundary_labels = boundary_labels_of(g, std::span(h.face_codes).first(owned));
    // What the numbering of edges and faces does not read goes first: the peak is there.
    std::vector<int64_t>().swap(h.key);
    std::vector<int>().swap(local_of);
    std::vector<int>().swap(stored_at);

    // Edges and faces: this process's numbering of its leaf mesh, then owners and global
    // numbers, one kind after the other. The whole grid's label codes stay: a face of a ghost
    // leaf that no other held leaf touches is no boundary face for being alone here.
    std::vector<int> edge_ids, face_ids;
    g.number_leaf_entities(h.verts, edge_ids, face_ids);
    Entities edges = renumber(p, 6, edge_ids, g.edge_verts, "edges");
    Entities faces = renumber(p, 4, face_ids, g.face_verts, "faces");

    // The records, written once with every number.
    // A copy, not the held array: that may hold room for more leaves than came.
    g.root_label.assign(h.label.begin(), h.label.end());
    std::vector<int>().swap(h.label);
    std::vector<int> leaves(n);
    for (size_t i = 0; i < n; ++i) {
        ELEMENT_ e{};
        for (size_t k = 0; k < 4; ++k) {
            e.verts[k] = h.verts[i][k];
            e.label[k] = h.face_codes[i][k];
            e.faces[k] = face_ids[4 * i + k];
            g.face_label[size_t(e.faces[k])] = e.label[k];
        }
        std::copy_n(edge_ids.begin() + ptrdiff_t(6 * i), 6, e.edges);
        e.index = e.record = int(i);
        e.owner = h.owner[i];
        g.add_record(e, TreeLinks{});
        leaves[i] = int(i);
    }
    g.swap_leaves(leaves);

    GridPart& part = g.part;
    part.active = true;
    part.owned_leaves = h.owned;
    part.elements = std::move(elements);
    part.vertices = std::move(vertices.map);
    part.edges = std::move(edges.map);
    part.faces = std::move(faces.map);
    part.vertex_position = std::move(position);
    g.update_record();
}

}  // namespace mosk
