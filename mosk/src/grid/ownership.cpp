// Owners of the leaf mesh's vertices, edges and faces: the owner of the lowest-numbered leaf
// element that holds the entity. Every process evaluates the rule alone on its copy of the grid
// and finds the same owners; a distributed grid's part found them when it was cut.
#include "grid/grid_impl.h"

namespace mosk {

const GridImpl::EntityOwners& entity_owners(GridImpl& g) {
    GridImpl::EntityOwners& o = g.owners;
    if (o.numbering == g.numbering_generation && o.partition == g.partition_generation &&
        o.numbering != 0)
        return o;
    if (g.distributed()) {
        // The part's index maps know: the owned entries first, then the ghosts.
        auto from_map = [&](const IndexMap& m, std::vector<int>& out) {
            out.resize(size_t(m.size()));
            for (int i = 0; i < m.size(); ++i)
                out[size_t(i)] = i < m.num_owned() ? g.rank : m.ghost_owner(i - m.num_owned());
        };
        std::vector<int> by_position;
        from_map(g.part.vertices, by_position);
        o.vert.resize(by_position.size());
        for (size_t v = 0; v < o.vert.size(); ++v)
            o.vert[v] = by_position[size_t(g.part.vertex_position[v])];
        from_map(g.part.edges, o.edge);
        from_map(g.part.faces, o.face);
        o.numbering = g.numbering_generation;
        o.partition = g.partition_generation;
        return o;
    }
    o.vert.assign(std::size_t(g.num_vertices()), -1);
    o.edge.assign(g.edge_verts.size(), -1);
    o.face.assign(g.face_verts.size(), -1);
    // Leaves in increasing number: the first to reach an entity owns it.
    for (int i = 0; i < g.num_leaves(); ++i) {
        const ELEMENT_& e = g.leaf(i);
        for (int v : e.verts)
            if (o.vert[v] < 0) o.vert[v] = e.owner;
        for (int k : e.edges)
            if (o.edge[k] < 0) o.edge[k] = e.owner;
        for (int f : e.faces)
            if (o.face[f] < 0) o.face[f] = e.owner;
    }
    // Vertices no leaf holds (none after import; kept for safety) go to process 0.
    for (int& v : o.vert)
        if (v < 0) v = 0;
    o.numbering = g.numbering_generation;
    o.partition = g.partition_generation;
    return o;
}

}  // namespace mosk
