#include "quad/element_quadrature_cache.h"

namespace mosk {

const ElementGeometry& cached_geometry(const GridImpl& g, const ELEMENT_& e) {
    thread_local ElementKey key;
    thread_local ElementGeometry geo;
    const ElementKey now = element_key(g, e);
    if (!(now == key)) {
        key = ElementKey{};  // stays invalid if the geometry throws
        geo = element_geometry(g, e);
        key = now;
    }
    return geo;
}

OpCache& op_cache(QuadOp op) {
    thread_local OpCache caches[kQuadOpCount];
    return caches[op];
}

}  // namespace mosk
