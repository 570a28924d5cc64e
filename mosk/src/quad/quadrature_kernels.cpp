// Element matrices and vectors from the reference tables. Scratch vectors are per thread, so
// that an element's computation allocates nothing once they have grown.
#include "quad/quadrature_kernels.h"

#include "dof/dof_field.h"
#include "quad/reference_tables.h"

namespace mosk {
namespace {

// Physical gradients of the element's basis functions of `type` at the rule's points:
// out[(3 k + c) * n + q].
void gradients_at_points(const DOF_TYPE_& type, const ELEMENT_& e, const ElementGeometry& geo,
                         int q, std::vector<double>& out) {
    const ReferenceTable& t = reference_table(type.order, q);
    const ElementNodes nodes = element_nodes(type, e);
    const int n = t.n;
    out.assign(size_t(3) * type.nbas * n, 0.0);
    for (int k = 0; k < type.nbas; ++k) {
        const int ck = nodes.order.at(k);
        double* __restrict o0 = out.data() + size_t(3 * k) * n;
        double* __restrict o1 = o0 + n;
        double* __restrict o2 = o1 + n;
        for (int m = 0; m < 4; ++m) {
            if (!t.dlambda_used[4 * ck + m]) continue;
            const double* d = t.dlambda_of(ck, m);
            const double g0 = geo.bary[m][0], g1 = geo.bary[m][1], g2 = geo.bary[m][2];
            for (int p = 0; p < n; ++p) {  // the three components in one pass over d
                o0[p] += d[p] * g0;
                o1[p] += d[p] * g1;
                o2[p] += d[p] * g2;
            }
        }
    }
}

// The stiffness matrix of a linear basis against itself on a one-point rule: the sums of
// compute_grad_grad's general path, term for term and in its order (so the same numbers), on the
// constant gradients, without its tables of points and scratch vectors.
void linear_grad_grad(const ELEMENT_& e, const ElementGeometry& geo, const DOF_TYPE_& type,
                      const double* coef, int q, std::vector<double>& out) {
    const ReferenceTable& t = reference_table(1, q);
    const ElementNodes nodes = element_nodes(type, e);
    const double w = geo.volume * t.rule->weights[0] * (coef ? coef[0] : 1.0);
    double g[4][3], wg[4][3];
    for (int k = 0; k < 4; ++k) {
        const int ck = nodes.order.at(k);
        for (int c = 0; c < 3; ++c) {
            double s = 0.0;
            for (int m = 0; m < 4; ++m)
                if (t.dlambda_used[4 * ck + m]) s += t.dlambda_of(ck, m)[0] * geo.bary[m][c];
            g[k][c] = s;
            wg[k][c] = w * s;
        }
    }
    out.resize(16);
    for (int i = 0; i < 4; ++i)
        for (int j = i; j < 4; ++j) {
            double s = 0;
            for (int c = 0; c < 3; ++c) s += wg[i][c] * g[j][c];
            out[size_t(i) * 4 + j] = out[size_t(j) * 4 + i] = s;
        }
}

// Rule weights times the coefficient (when there is one) times the volume.
void point_weights(const QuadRule& rule, double volume, const double* coef,
                   std::vector<double>& w) {
    w.resize(size_t(rule.size));
    for (int p = 0; p < rule.size; ++p) w[p] = volume * rule.weights[p] * (coef ? coef[p] : 1.0);
}

// This thread's scratch vectors, in one thread-local object: each access to a thread-local of a
// shared library is a call.
struct Scratch {
    std::vector<double> w, gu, gv, wgu, wu, fq;
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

}  // namespace

// The field (values gathered on the element) at the points of rule degree q: out[c * n + q].
void field_at_points(const DOF_& d, const ELEMENT_& e, const std::vector<double>& vals, int q,
                     std::vector<double>& out) {
    const ReferenceTable& t = reference_table(d.type->order, q);
    const ElementNodes nodes = element_nodes(*d.type, e);
    const int n = t.n, dim = d.dim;
    out.assign(size_t(dim) * n, 0.0);
    for (int k = 0; k < d.type->nbas; ++k) {
        const double* phi = t.values_of(nodes.order.at(k));
        for (int c = 0; c < dim; ++c) {
            const double f = vals[size_t(k) * dim + c];
            if (f == 0) continue;
            double* o = out.data() + size_t(c) * n;
            for (int p = 0; p < n; ++p) o[p] += f * phi[p];
        }
    }
}

void basis_at_points(const DOF_TYPE_& type, const ELEMENT_& e, const ElementGeometry& geo, int q,
                     double* values, double* gradients) {
    const ReferenceTable& t = reference_table(type.order, q);
    const ElementNodes nodes = element_nodes(type, e);
    const int n = t.n, nb = type.nbas;
    for (int k = 0; k < nb; ++k) {
        const int ck = nodes.order.at(k);
        if (values) {
            const double* phi = t.values_of(ck);
            for (int p = 0; p < n; ++p) values[size_t(p) * nb + k] = phi[p];
        }
        if (!gradients) continue;
        for (int p = 0; p < n; ++p) {
            double* g = gradients + (size_t(p) * nb + k) * 3;
            g[0] = g[1] = g[2] = 0.0;
            for (int m = 0; m < 4; ++m) {
                if (!t.dlambda_used[4 * ck + m]) continue;
                const double d = t.dlambda_of(ck, m)[p];
                for (int c = 0; c < 3; ++c) g[c] += d * geo.bary[m][c];
            }
        }
    }
}

void compute_grad_grad(const ELEMENT_& e, const ElementGeometry& geo, const DOF_TYPE_& tu,
                       const DOF_TYPE_& tv, const double* coef, int q, std::vector<double>& out) {
    const QuadRule& rule = tet_rule(q);
    const int n = rule.size;
    if (&tu == &tv && tu.order == 1 && n == 1) {
        linear_grad_grad(e, geo, tu, coef, q, out);
        return;
    }
    Scratch& sc = scratch();
    std::vector<double>&w = sc.w, &gu = sc.gu, &gv_own = sc.gv, &wgu = sc.wgu;
    point_weights(rule, geo.volume, coef, w);
    gradients_at_points(tu, e, geo, q, gu);
    const std::vector<double>* gv = &gu;
    if (&tv != &tu) {
        gradients_at_points(tv, e, geo, q, gv_own);
        gv = &gv_own;
    }
    wgu.resize(gu.size());  // weighted gradients of u
    for (int k = 0; k < 3 * tu.nbas; ++k)
        for (int p = 0; p < n; ++p) wgu[size_t(k) * n + p] = w[p] * gu[size_t(k) * n + p];
    const bool symmetric = &tv == &tu;  // then only j >= i is computed, and mirrored
    // A basis function's 3 n weighted gradient values are contiguous (component by component,
    // point by point), so an entry is one dot product, summed in the same order as over
    // components and points. Four entries of a row are summed side by side, so that no sum
    // waits for the previous addition of another.
    const size_t len = size_t(3) * n, nbv = size_t(tv.nbas);
    const double* g = gv->data();
    out.resize(size_t(tu.nbas) * nbv);
    for (int i = 0; i < tu.nbas; ++i) {
        const double* a = wgu.data() + size_t(i) * len;
        double* row = out.data() + size_t(i) * nbv;
        size_t j = symmetric ? size_t(i) : 0;
        for (; j + 4 <= nbv; j += 4) {
            const double *b0 = g + j * len, *b1 = b0 + len, *b2 = b1 + len, *b3 = b2 + len;
            double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
            for (size_t m = 0; m < len; ++m) {
                s0 += a[m] * b0[m];
                s1 += a[m] * b1[m];
                s2 += a[m] * b2[m];
                s3 += a[m] * b3[m];
            }
            row[j] = s0;
            row[j + 1] = s1;
            row[j + 2] = s2;
            row[j + 3] = s3;
        }
        for (; j < nbv; ++j) {
            const double* b = g + j * len;
            double s = 0;
            for (size_t m = 0; m < len; ++m) s += a[m] * b[m];
            row[j] = s;
        }
        if (symmetric)
            for (size_t k = size_t(i) + 1; k < nbv; ++k) out[k * nbv + size_t(i)] = row[k];
    }
}

void affine_grad_grad(const ELEMENT_& e, const ElementGeometry& geo, const DOF_TYPE_& type, int q,
                      double* out) {
    const ReferenceStiffness& r = reference_stiffness(type.order, q);
    const ElementNodes nodes = element_nodes(type, e);
    double g[6];
    for (int s = 0; s < 6; ++s) {
        const double* a = geo.bary[kGradientPairs[s][0]];
        const double* b = geo.bary[kGradientPairs[s][1]];
        g[s] = geo.volume * (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
    }
    const int nb = type.nbas;
    int c[kMaxLagrangeSize];
    for (int k = 0; k < nb; ++k) c[k] = nodes.order.at(k);
    for (int i = 0; i < nb; ++i) {
        double* row = out + size_t(i) * nb;
        for (int j = i; j < nb; ++j) {
            const double* t = r.of(c[i], c[j]);
            const double v = (g[0] * t[0] + g[1] * t[1]) + (g[2] * t[2] + g[3] * t[3]) +
                             (g[4] * t[4] + g[5] * t[5]);
            row[j] = v;
            out[size_t(j) * nb + i] = v;
        }
    }
}

void compute_mass(const ELEMENT_& e, double volume, const DOF_TYPE_& tu, const DOF_TYPE_& tv,
                  const double* coef, int q, std::vector<double>& out) {
    const ReferenceTable& ru = reference_table(tu.order, q);
    const ReferenceTable& rv = reference_table(tv.order, q);
    const ElementNodes nu = element_nodes(tu, e), nv = element_nodes(tv, e);
    const int n = ru.n;
    Scratch& sc = scratch();
    std::vector<double>&w = sc.w, &wu = sc.wu;
    point_weights(*ru.rule, volume, coef, w);
    wu.resize(size_t(n));
    const bool symmetric = &tv == &tu;
    out.assign(size_t(tu.nbas) * tv.nbas, 0.0);
    for (int i = 0; i < tu.nbas; ++i) {
        const double* a = ru.values_of(nu.order.at(i));
        for (int p = 0; p < n; ++p) wu[p] = w[p] * a[p];
        for (int j = symmetric ? i : 0; j < tv.nbas; ++j) {
            const double* b = rv.values_of(nv.order.at(j));
            double s = 0;
            for (int p = 0; p < n; ++p) s += wu[p] * b[p];
            out[size_t(i) * tv.nbas + j] = s;
            if (symmetric) out[size_t(j) * tv.nbas + i] = s;
        }
    }
}

// out[i * dim + c]: integral of component c of f times basis function i of v.
void compute_dof_times_bas(const ELEMENT_& e, double volume, const DOF_& f,
                           const std::vector<double>& fvals, const DOF_TYPE_& tv, int q,
                           std::vector<double>& out) {
    const ReferenceTable& rv = reference_table(tv.order, q);
    const ElementNodes nv = element_nodes(tv, e);
    const int n = rv.n, dim = f.dim;
    Scratch& sc = scratch();
    std::vector<double>&w = sc.w, &fq = sc.fq;
    point_weights(*rv.rule, volume, nullptr, w);
    field_at_points(f, e, fvals, q, fq);
    for (int c = 0; c < dim; ++c)
        for (int p = 0; p < n; ++p) fq[size_t(c) * n + p] *= w[p];
    out.assign(size_t(tv.nbas) * dim, 0.0);
    for (int i = 0; i < tv.nbas; ++i) {
        const double* b = rv.values_of(nv.order.at(i));
        for (int c = 0; c < dim; ++c) {
            const double* a = fq.data() + size_t(c) * n;
            double s = 0;
            for (int p = 0; p < n; ++p) s += a[p] * b[p];
            out[size_t(i) * dim + c] = s;
        }
    }
}

void affine_dof_times_bas(const ELEMENT_& e, double volume, const DOF_& f, const double* fvals,
                          const DOF_TYPE_& tv, int q, double* out) {
    const ReferenceMass& m = reference_mass(tv.order, f.type->order, q);
    const ElementNodes nv = element_nodes(tv, e), nf = element_nodes(*f.type, e);
    const int nbf = f.type->nbas, dim = f.dim;
    int cf[kMaxLagrangeSize];
    for (int l = 0; l < nbf; ++l) cf[l] = nf.order.at(l);
    for (int i = 0; i < tv.nbas; ++i) {
        const double* row = m.row(nv.order.at(i));
        for (int c = 0; c < dim; ++c) {
            double s = 0;
            for (int l = 0; l < nbf; ++l) s += row[cf[l]] * fvals[size_t(l) * dim + c];
            out[size_t(i) * dim + c] = volume * s;
        }
    }
}

}  // namespace mosk
