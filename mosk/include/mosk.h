/*
 * mosk: a finite-element library on tetrahedral grids, backed by PETSc and MPI.
 *
 * This header is the whole interface of the library: the records that callers may read, the
 * functions and the exported variables. Records are plain structs; the fields before `impl` are
 * public and documented, everything the library needs beyond them lives in the private object
 * behind `impl` (or in fields marked "library-private").
 *
 * Errors: the library is C++ and reports failures by throwing an exception derived from
 * std::exception whose message names the operation and the cause; mosk_errors.h declares the
 * library's own exception types. The functions are declared with C linkage so that the interface
 * stays usable from C, but C++ callers must be prepared for exceptions.
 *
 * Conventions:
 *  - Free functions take the address of the caller's pointer and set it to null.
 *  - Counts are per process ("local") or over all processes ("global"); on one process they agree.
 *  - Element numbering: vertices 0..3 in the order of the record; edges in the order
 *    (0,1) (0,2) (0,3) (1,2) (1,3) (2,3); face i is the face opposite vertex i.
 */
#ifndef MOSK_H
#define MOSK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's exported interface; nothing else is exported. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* ------------------------------------------------------------------------------------------ */
/* Start-up and shut-down                                                                      */
/* ------------------------------------------------------------------------------------------ */

/* Starts the library: MPI (only if nobody initialised it yet), then PETSc. The library reads its
 * own options (see README, "Library options") from the argument vector and from the environment
 * variable MOSK_OPTIONS; options it does not know are handed to PETSc's options database. It may
 * rewrite *argc and *argv. Calling it again while started does nothing. Returns 0. */
int moskInit(int* argc, char*** argv);

/* Shuts the library down: PETSc, then MPI if moskInit started it. Idempotent. Library objects
 * freed afterwards release their memory without touching PETSc or MPI. Returns 0. */
int moskFinalize(void);

/* The library's communicator as an integer handle (MPI_Comm_c2f of it); MPI_Comm_f2c turns it back
 * into the communicator. -1 before moskInit. */
extern int moskComm;

/* This process's rank in moskComm and the number of its processes (0 and 1 when the library is
 * not started). */
int moskCommRank(void);
int moskCommSize(void);

/* Ends every process of moskComm with exit status `code` (MPI_Abort); for a failure on one
 * process that the others cannot learn of (an uncaught exception in a script). */
void moskAbort(int code);

/* ------------------------------------------------------------------------------------------ */
/* Grid                                                                                        */
/* ------------------------------------------------------------------------------------------ */

/* An optional record with its own global vertex count. When a grid has one, that count stands
 * in for the grid's own (a distributed grid may count shared vertices differently). The serial
 * library never makes one: GRID_::vertex_count is null. */
typedef struct MOSK_VERTEX_COUNT_ {
    int nvert_global;
} MOSK_VERTEX_COUNT_;

/* Parallel runs: every leaf element has an owning process (ELEMENT_::owner): a block of leaf
 * numbers per process after import, the partition of moskBalanceGrid_ after a balance, the
 * parent's owner for the children of a refinement. Until the first balance on several processes
 * every process holds the whole grid; after it a process holds only its part: the leaves it
 * owns (first, in leaf order) and one layer of ghost leaves (the other processes' leaves that
 * share a vertex with its own), numbered locally (vertex, edge, face and element numbers of the
 * part, the owned entities first). The *_local counts are what the process holds; the *_global
 * ones count every entity once over all processes (equal on one process). */
typedef struct GRID_ {
    int nelem;         /* leaf elements owned by this process */
    int nvert_global;  /* vertices of the leaf mesh over all processes */
    int nedge_global;  /* edges of the leaf mesh over all processes */
    int nface_global;  /* faces of the leaf mesh over all processes */
    int nelem_global;  /* leaf elements over all processes */
    int nvert_local, nedge_local, nface_local, nelem_local; /* held by this process */
    MOSK_VERTEX_COUNT_* vertex_count; /* optional, may be null */
    /* Process-unique id of the grid's current element store. It changes whenever the store is
     * rebuilt (import; on several processes balance, and refinement after a balance); refinement
     * of a grid every process holds whole keeps it. Together with ELEMENT_::record it lets a caller ask
     * moskElementIsCurrent whether an element it kept is still a leaf of a live grid. */
    uint64_t store_id;
    void* impl;        /* library-private */
} GRID_;

/* One tetrahedron. The first fields are the element's numbering in the current leaf mesh; they
 * are valid while the element is a leaf. Records of elements that were refined stay in memory
 * (the refinement tree) as long as the grid's store lives, so a kept pointer never dangles while
 * the grid lives, but such a record is no longer current. */
typedef struct ELEMENT_ {
    int verts[4];   /* vertex numbers (of this process's part once distributed) */
    int edges[6];   /* edge numbers, in the element's edge order */
    int faces[4];   /* face numbers, face i opposite vertex i */
    int index;      /* leaf element number, 0..nelem_local-1 */
    /* library-private from here on */
    int record;     /* position in the grid's element store (stable) */
    int label[4];   /* code of face i's label set (moskFaceLabels reads it); 0: an interior face
                       without labels */
    int owner;      /* rank of the owning process */
    int refined;    /* 0 while the element is a leaf, 1 once it was bisected */
    /* The refinement tree (parents, children, levels) is kept apart, inside the library. */
} ELEMENT_;

/* A new, empty grid. comm: an integer communicator handle, or -1 for moskComm. */
GRID_* moskNewGrid(int comm);

/* Replaces the grid's contents by the mesh in `file`. The format is chosen by content: Gmsh MSH
 * 2.2 and 4.1 (ASCII and binary) and Medit .mesh (ASCII). flag: 1 = the file holds the whole mesh
 * (read on every process). On any error (missing file, unknown format, malformed content,
 * index out of range, degenerate or inverted tetrahedron) it throws and leaves the grid as it was.
 * Collective over the grid's communicator, as are refinement, balancing, field creation, solver
 * creation, solving and export: each succeeds on every process or throws the same exception on
 * every process. */
void moskImport_(GRID_* grid, const char* file, int flag);

/* Frees the grid and its element store; sets *grid to null. Null is ignored. */
void moskFreeGrid(GRID_** grid);

/* `levels` times: bisects every leaf element once (longest edge) and closes the mesh to a
 * conforming one. Each level at least doubles the element count. Boundary labels are inherited;
 * the records of the refined elements are kept. levels <= 0 does nothing. */
void moskRefineAllElements(GRID_* grid, int levels);

/* Distributes the leaf elements over the processes of the grid's communicator: a partition of
 * the element dual graph (PT-Scotch, computed by all processes together) that keeps the number
 * of faces between elements of different owners small and gives no process more than
 * max(ceil(mean), min(imbalance, 1.002) * mean) elements, the mean over the processes. An
 * imbalance below 1 or NaN throws std::invalid_argument. `comm` must be a valid communicator
 * handle; flag, a, b and c are reserved (1, 0, 0, 0). On one process the grid is left unchanged.
 * On several processes each process then holds only its part (see GRID_), the fields their
 * values on it; elements handed out before are no longer current. Maps and solvers made before
 * a balance that changed owners are stale afterwards. */
void moskBalanceGrid_(GRID_* grid, double imbalance, int flag, int64_t a, int64_t b, int comm,
                      int64_t c);

struct DOF_;

/* Writes the grid and `n` fields to `file`: VTK legacy (.vtk) or VTK XML (.vtu), chosen by the
 * extension. Fields of vertex values are point data, piecewise constants cell data, each named by
 * the field's name with `dim` components. Throws when the file cannot be written. */
void moskExportVTKn(GRID_* grid, const char* file, int n, struct DOF_** dofs);

/* Element stepping: returns the first element at position *cursor or later that `flag` admits and
 * stores its position in *cursor, or null when none is left. Leaf elements are visited in leaf
 * order (stable between refinements). flag: 1 = the leaf elements this process owns (over all
 * processes, every leaf element once); 2 = every leaf element this process holds, including
 * those other processes own (today every process holds the whole grid, so every leaf element;
 * the same as 1 on one process); 3 = this process's leaf elements with at least one boundary
 * face; any other value admits nothing. */
ELEMENT_* _mosk_step_element(GRID_* grid, int* cursor, int flag);

/* 1 when `e` is the record at position `record` of the live element store `store_id` and is a
 * leaf; 0 otherwise (the grid is gone, was rebuilt, or the element was refined). It never reads
 * through `e` unless the store is live and holds `e` at that position. */
int moskElementIsCurrent(uint64_t store_id, int record, const ELEMENT_* e);

/* ------------------------------------------------------------------------------------------ */
/* Element geometry. `e` must be a current leaf element of `grid`: a null grid or element,    */
/* an element of another grid or a refined one throw std::invalid_argument. The check reads   */
/* e->record, so `e` must point at a live element record; a caller whose pointer may be       */
/* stale asks moskElementIsCurrent first. The functions taking a face number throw            */
/* std::out_of_range, naming the function and the number, for a face outside 0..3.            */
/* ------------------------------------------------------------------------------------------ */

#define MOSK_JACOBIAN_SIZE 16

double moskGeomGetVolume(GRID_* grid, ELEMENT_* e);
double moskGeomGetDiameter(GRID_* grid, ELEMENT_* e); /* longest edge */
/* The 4x4 matrix, row-major, of the affine map from (x, y, z, 1) to the barycentric coordinates
 * (l0, l1, l2, l3) of the element: row i holds the gradient of li and, last, its constant. The
 * 16 values are written to `out` when it is not null, and always to a per-thread buffer whose
 * address is returned (valid until the next Jacobian call on this thread). `reserved` must be
 * null (std::invalid_argument otherwise). */
const double* moskGeomGetJacobian_(GRID_* grid, ELEMENT_* e, double* out, void* reserved);
/* Area of the face; both reserved pointers must be null (std::invalid_argument otherwise). */
double moskGeomGetFaceArea_(GRID_* grid, ELEMENT_* e, int face, void* reserved1, void* reserved2);
double moskGeomGetFaceDiameter(GRID_* grid, ELEMENT_* e, int face); /* longest edge of the face */
/* Unit outward normal of the face: a pointer to 3 values in a per-thread buffer, valid until the
 * next normal call on this thread. */
const double* moskGeomGetFaceNormal(GRID_* grid, ELEMENT_* e, int face);

/* ------------------------------------------------------------------------------------------ */
/* DOF types                                                                                   */
/* ------------------------------------------------------------------------------------------ */

typedef struct DOF_TYPE_ {
    const char* name;   /* "P1".."P4", "P0" */
    int16_t nbas;       /* basis functions on an element */
    int16_t nvert;      /* basis functions per vertex */
    int16_t nedge;      /* per edge */
    int16_t nface;      /* per face */
    int16_t nelem;      /* per element interior */
    int16_t order;      /* polynomial degree */
    int16_t continuous; /* 1 for a continuous type, 0 for a discontinuous one */
    void* impl;         /* library-private */
} DOF_TYPE_;

/* One group of types: a null-terminated array and a tag that is never null for a used record. */
typedef struct MOSK_DOF_TYPE_GROUP_ {
    DOF_TYPE_** types;
    const char* tag;    /* the group's name */
} MOSK_DOF_TYPE_GROUP_;

/* The library's groups of DOF types, ended by a record whose fields are null. */
extern MOSK_DOF_TYPE_GROUP_ moskDofTypesList[];
/* The default type (P1). */
extern DOF_TYPE_* DOF_DEFAULT;

/* Initial-value and boundary functions: values of the point (x, y, z), `dim` of them. */
typedef void (*MOSK_POINT_FUNC)(double x, double y, double z, double* values);

/* Initialisation markers, given in place of a real function to moskDofNew_:
 *   0 "no data":     the field's values are left at zero and are not carried through refinement;
 *   1 "no action":   the values are left at zero; on refinement the new values are zero as well;
 *   2 "interpolation": values are zero at creation and carried through refinement by
 *                    interpolation (the usual mode);
 *   3 "lambda function": as 2; the field is meant to be filled by the caller afterwards.
 * Other codes give the marker of code 0. */
MOSK_POINT_FUNC moskDofUserFuncGetPointer_(int code);

/* ------------------------------------------------------------------------------------------ */
/* DOF fields                                                                                  */
/* ------------------------------------------------------------------------------------------ */

/* Variable-order fields (the library makes none yet; the records describe the layout). */
typedef struct MOSK_DOF_FAMILY_ {
    DOF_TYPE_** types;  /* indexed by order */
    int mask;           /* bit 0: vertices carry values, bit 1: edges, bit 2: faces */
} MOSK_DOF_FAMILY_;

typedef struct MOSK_DOF_VARIABLE_ORDER_ {
    MOSK_DOF_FAMILY_* family;
    unsigned char* vert_order; /* by vertex number */
    unsigned char* edge_order; /* by edge number */
    unsigned char* face_order; /* by face number */
    unsigned char* elem_order; /* by element number */
    int32_t nvert_values, nedge_values, nface_values, nelem_values;
} MOSK_DOF_VARIABLE_ORDER_;

typedef struct DOF_ {
    GRID_* grid;
    DOF_TYPE_* type;
    MOSK_DOF_VARIABLE_ORDER_* variable_order; /* null for a field of one fixed type */
    int64_t nvert_values;  /* values per vertex (type's per-vertex count times dim) */
    int64_t nedge_values;  /* values per edge */
    int64_t nface_values;  /* values per face */
    int64_t nelem_values;  /* values per element */
    int16_t dim;           /* components */
    const char* name;
    double* data;          /* vertex values, then edge, face and element values */
    void* impl;            /* library-private */
} DOF_;

/* Grids in use: while a user function given to moskDofNew_ or moskDofDirichletBC runs, the
 * library is walking that field's grid. Until it returns, moskImport_, moskRefineAllElements and
 * moskBalanceGrid_ on that grid throw std::logic_error (the function, or another thread that runs
 * while it does, must not change the grid under the walk). */

/* A new field on the grid. `reserved` must be null. `init` is a real function (evaluated at the
 * nodes of every element: the field interpolates it) or a marker of moskDofUserFuncGetPointer_;
 * null means the same as marker 0. `file` and `line` name the caller in messages (with a line
 * of 0 or less, `file` is just a name). Exceptions thrown by `init` pass through; the field is
 * then not made. */
DOF_* moskDofNew_(GRID_* grid, DOF_TYPE_* type, void* reserved, int dim, const char* name,
                  MOSK_POINT_FUNC init, const char* file, int line);
void moskDofSetDataByValue(DOF_* dof, double value);
void moskDofFree(DOF_** dof);

/* Dirichlet data of basis function `bas` of the field on the element: returns 1 when its node lies
 * on a Dirichlet boundary face and then stores the boundary function's values at the node in
 * value[0..dim-1]; returns 0 otherwise. `row` (room for nbas doubles) is reserved scratch space.
 * flag is reserved (0). */
int moskDofDirichletBC(DOF_* dof, ELEMENT_* e, int bas, MOSK_POINT_FUNC f, double* row,
                       double* value, int flag);
/* The same for every basis function of the element in one call: mask[i] is 1 when basis
 * function i is a Dirichlet entry, else 0; its values are at value[i * dim .. i * dim + dim - 1]
 * (zero for the others). mask has room for `capacity` entries and value for capacity * dim
 * (fewer than the field's basis functions throw std::length_error and write nothing). `f` is
 * called once per Dirichlet entry, in basis order. Returns the number of basis functions. flag
 * is reserved (0). */
int moskDofDirichletBCElement(DOF_* dof, ELEMENT_* e, MOSK_POINT_FUNC f, int* mask, double* value,
                              int capacity, int flag);

/* The field's values as one array, in the global numbering of a map over this one field (index
 * i of the array is global index i of moskMapCreateN(1, &dof)); component c of a node follows
 * its first component at +c. `n` must be the field's number of values over all processes
 * (moskDofGetGlobalSize; std::invalid_argument otherwise). Collective: under MPI every process
 * receives the whole array, gathered from the owners on a distributed grid. */
void moskDofGetValues(DOF_* dof, double* values, int64_t n);
/* Sets every value from `values` (same order and count). Values that are not finite are refused
 * with std::invalid_argument and nothing is changed. Collective: under MPI every process passes
 * the whole array (a process takes the values of its nodes; ghosts take their owners'). */
void moskDofSetValues(DOF_* dof, const double* values, int64_t n);
/* The coordinates (x, y, z) of the node of each value, in the order of moskDofGetValues: xyz holds
 * 3 n doubles, row i at xyz[3 i]; the components of one node repeat its row. Collective. */
void moskDofGetNodeCoordinates(DOF_* dof, double* xyz, int64_t n);
/* The values of the field over all processes. */
int64_t moskDofGetGlobalSize(DOF_* dof);
/* This process's values: those of the nodes of its elements (owned and ghost), in the field's
 * own order (DOF_::data); n must be their number (the *_local counts of the grid times the
 * values per vertex, edge, face and element). The coordinates of their nodes likewise. */
void moskDofGetLocalValues(DOF_* dof, double* values, int64_t n);
void moskDofGetLocalNodeCoordinates(DOF_* dof, double* xyz, int64_t n);
/* Sets this process's values (collective: afterwards every ghost value is its owner's). Values
 * that are not finite on any process, or an n that is not this process's count on any process,
 * are refused with std::invalid_argument on every process, and nothing changes. */
void moskDofSetLocalValues(DOF_* dof, const double* values, int64_t n);
/* The global index of each of this process's values (as moskDofGetLocalValues orders them) in a
 * map over this one field, and in owned[i] (when not null) 1 for a value this process owns, 0
 * for a ghost. Collective. */
void moskDofGetGlobalIndices(DOF_* dof, int64_t* global, uint8_t* owned, int64_t n);

/* ------------------------------------------------------------------------------------------ */
/* Element quadrature                                                                          */
/* ------------------------------------------------------------------------------------------ */

/* Integral over the element of grad(phi_i of u) . a . grad(phi_j of v); `a` is an optional
 * coefficient field (null: 1). order: the degree the rule integrates exactly; -1 picks the degree
 * of the integrand. */
double moskQuadGradBasAGradBas(ELEMENT_* e, DOF_* u, int i, DOF_* a, DOF_* v, int j, int order);
/* Integral of phi_i of u times a times phi_j of v. */
double moskQuadBasABas(ELEMENT_* e, DOF_* u, int i, DOF_* a, DOF_* v, int j, int order);
/* Integral of each component of f times phi_i of v: writes dim(f) values to out; returns the
 * first. */
double moskQuadDofTimesBas(ELEMENT_* e, DOF_* f, DOF_* v, int i, int order, double* out);

/* Whole element matrices and vectors, one call per element: the values of the per-entry calls
 * above for every basis function, written to out, which has room for `capacity` values (fewer
 * than needed throw std::length_error and write nothing). Return the number of values written.
 *   moskQuadGradBasAGradBasElement, moskQuadBasABasElement: nbas(u) x nbas(v), row-major, entry
 *     (i, j) at out[i * nbas(v) + j];
 *   moskQuadDofTimesBasElement: component c of basis function i of v at out[i * dim(f) + c]. */
int moskQuadGradBasAGradBasElement(ELEMENT_* e, DOF_* u, DOF_* a, DOF_* v, int order, double* out,
                                   int capacity);
int moskQuadBasABasElement(ELEMENT_* e, DOF_* u, DOF_* a, DOF_* v, int order, double* out,
                           int capacity);
int moskQuadDofTimesBasElement(ELEMENT_* e, DOF_* f, DOF_* v, int order, double* out, int capacity);

/* ------------------------------------------------------------------------------------------ */
/* Element blocks: the element calls for n elements at once, es[0..n-1], with the results      */
/* stacked along a leading element axis (element k's values start at k times the per-element   */
/* count). Every element must be a current leaf of the fields' (or the grid's) grid, with the  */
/* same checks as the element calls; `capacity` is the room of the first output in values      */
/* (fewer than needed throw std::length_error). Outputs are undefined after a throw. The        */
/* results are those of the element calls, bit for bit.                                        */
/* ------------------------------------------------------------------------------------------ */

/* n x nbas(u) x nbas(v) values; returns the number written. */
int64_t moskQuadGradBasAGradBasBlock(int n, ELEMENT_** es, DOF_* u, DOF_* a, DOF_* v, int order,
                                     double* out, int64_t capacity);
int64_t moskQuadBasABasBlock(int n, ELEMENT_** es, DOF_* u, DOF_* a, DOF_* v, int order,
                             double* out, int64_t capacity);
/* n x nbas(v) x dim(f) values (the layout of moskQuadDofTimesBasElement per element). */
int64_t moskQuadDofTimesBasBlock(int n, ELEMENT_** es, DOF_* f, DOF_* v, int order, double* out,
                                 int64_t capacity);

/* The number of points nq of the rule that integrates degree `order` (0 or more) exactly. */
int moskQuadRuleSize(int order);
/* The rule's points on each element, points[(k nq + p) 3 + c], and their weights times the
 * element's |det J| (they sum to the volume), weights[k nq + p]; capacity counts points (n nq).
 * Either output may be null. */
int64_t moskQuadPointsBlock(GRID_* grid, int n, ELEMENT_** es, int order, double* points,
                            double* weights, int64_t capacity);
/* The field's basis functions at the rule's points, in element basis order:
 * values[(k nq + p) nb + i] and physical gradients gradients[((k nq + p) nb + i) 3 + c];
 * capacity counts n nq nb. Either output may be null. */
int64_t moskQuadBasisBlock(int n, ELEMENT_** es, DOF_* u, int order, double* values,
                           double* gradients, int64_t capacity);

/* Volumes (n) and vertex coordinates (n x 4 x 3, in the element's vertex order); either may be
 * null; capacity counts elements. */
int64_t moskGeomBlock(GRID_* grid, int n, ELEMENT_** es, double* volumes, double* vertices,
                      int64_t capacity);

/* Dirichlet entries of the field on the elements: mask[k nb + i] as moskDofDirichletBCElement
 * gives it, and the node of each Dirichlet entry, in that order, at points[3 m .. 3 m + 2] (room
 * for as many points as mask entries, `capacity`). Returns the number of Dirichlet entries. */
int64_t moskDofDirichletBlock(DOF_* dof, int n, ELEMENT_** es, int* mask, double* points,
                              int64_t capacity);

/* ------------------------------------------------------------------------------------------ */
/* Maps                                                                                        */
/* ------------------------------------------------------------------------------------------ */

typedef struct MAP_ {
    DOF_** dofs;       /* by DOF number */
    int ndofs;
    int local_size;
    int global_size;
    void* impl;        /* library-private */
} MAP_;

MAP_* moskMapCreateN(int n, DOF_** dofs);
void moskMapDestroy(MAP_** map);
/* Throws std::logic_error naming `operation` when the map is stale: its grid was refined or
 * re-imported after the map was made, so its numbering and sizes no longer match the fields.
 * Every map function (and every solver function, for the solver's map) applies this check. */
void moskMapCheckCurrent(MAP_* map, const char* operation);
/* Index, within the field, of basis function `bas` on the element. flag 1: one index per node
 * (the first component's). */
int moskDofMapE2D_(DOF_* dof, ELEMENT_* e, int bas, int flag);
/* Local index in the map of index k of field number dof_idx. flag 1: node index. */
int moskMapD2L_(MAP_* map, int dof_idx, int k, int flag);
/* Global index of local index l. */
int moskMapL2G(MAP_* map, int l);
/* Global indices of the element's basis functions of field number dof_idx, one per node (its
 * first component's), in basis order: out[i] is moskMapL2G(map, moskMapD2L_(map, dof_idx,
 * moskDofMapE2D_(dof, e, i, 1), 1)). out has room for `capacity` values (fewer than the field's
 * basis functions on the element throw std::length_error and write nothing). Returns the number
 * written. One check of the map, the field and the element for the whole element. */
int moskMapElementGlobalIndices(MAP_* map, int dof_idx, ELEMENT_* e, int* out, int capacity);
/* The same for n elements: out[k nb + i] (see "Element blocks"). */
int64_t moskMapBlockGlobalIndices(MAP_* map, int dof_idx, int n, ELEMENT_** es, int* out,
                                  int64_t capacity);

/* ------------------------------------------------------------------------------------------ */
/* Solvers                                                                                     */
/* ------------------------------------------------------------------------------------------ */

typedef enum SYMMETRY { UNSYM = 0, SSYM = 1, SYM = 2, SPD = 3 } SYMMETRY;

typedef struct MOSK_MATRIX_ {
    MAP_* map;
    int flag;          /* 1: the solver applies its own boundary treatment; 0: it does not */
    void* impl;        /* library-private */
} MOSK_MATRIX_;

typedef struct MOSK_VECTOR_ {
    MAP_* map;
    void* impl;        /* library-private */
} MOSK_VECTOR_;

typedef struct MOSK_SOLVER_KIND_ {
    const char* name;
    const char* description;
    void* impl;        /* library-private */
} MOSK_SOLVER_KIND_;

/* Solver kinds: index 0 is the default (chosen by a null kind); the tables end at a null entry.
 * moskSolverNames_[i] is an alias of moskSolverList_[i]. */
extern MOSK_SOLVER_KIND_* moskSolverList_[];
extern const char* moskSolverNames_[];
/* The kind called `name` by its name or alias ("cg" or "pcg"), or null for any other name,
 * "default" included. The -solver option is looked up the same way. */
MOSK_SOLVER_KIND_* moskSolverKindByName(const char* name);

typedef struct SOLVER_ {
    double residual;
    double rtol;
    MOSK_MATRIX_* matrix;
    MOSK_MATRIX_* matrix2;   /* optional second matrix, may be null */
    MOSK_VECTOR_* rhs;
    int symmetry;            /* a SYMMETRY value */
    int iterations;
    int maxit;
    MOSK_SOLVER_KIND_* kind;
    void* impl;              /* library-private */
} SOLVER_;

SOLVER_* moskSolverCreateN(MOSK_SOLVER_KIND_* kind, int n, DOF_** dofs);
void moskSolverDestroy(SOLVER_** solver);
/* Adds the dense block vals (row-major, nrows x ncols) at (rows[i], cols[j]). The three flags are
 * reserved (1, 1, 0). */
void moskMatAddEntries_(MOSK_MATRIX_* m, int nrows, const int* rows, int ncols, const int* cols,
                        const double* vals, int flag1, int flag2, int flag3);
/* Adds vals[i] at idx[i]. flag0 and the two trailing flags are reserved (0; 1, 0). */
void moskVecAddEntries_(MOSK_VECTOR_* v, int flag0, int n, const int* idx, const double* vals,
                        int flag1, int flag2);
/* Solves and writes the solution into the n fields. flag is reserved (0). Throws when the solve
 * does not converge. Returns the number of iterations. */
int moskSolverSolveN(SOLVER_* s, int flag, int n, DOF_** dofs);
/* Writes MATLAB/Octave scripts of the matrix and right-hand side. */
void moskSolverDumpMATLAB_(SOLVER_* s, const char* matrix_file, const char* rhs_file,
                           void* reserved, int flag);
/* Set every matrix entry, or every right-hand-side entry, to zero; the matrix keeps its pattern,
 * so the next assembly starts afresh without new allocations. A solve whose matrix did not change
 * since the previous solve reuses its preconditioner or factorisation; zeroing the matrix counts
 * as a change. */
void moskSolverZeroMatrix(SOLVER_* s);
void moskSolverZeroRHS(SOLVER_* s);
/* Options of this solver alone, with the syntax of MOSK_OPTIONS: -solver_rtol X and
 * -solver_maxit N set s->rtol and s->maxit; every other word goes to PETSc for this solver's KSP
 * and PC only, written without the kind's prefix ("-ksp_monitor"; "-mosk_ksp_monitor" means the
 * same). Later calls add to earlier ones; an option given again takes the new value. Throws
 * std::invalid_argument, changing nothing, for a library option that is not one of the two
 * (misspelt, or library-wide like -solver or -verbosity), a malformed value, or text PETSc cannot
 * parse. Under MPI every process must pass the same text. */
void moskSolverSetOptions(SOLVER_* s, const char* options);

/* ------------------------------------------------------------------------------------------ */
/* Labels, face integrals and time series                                                      */
/* ------------------------------------------------------------------------------------------ */

/* Labels come from the mesh file: a face carries the label of every group of triangles that
 * covers it (a boundary face that none covers carries -1), an element its volume label (0 when
 * the file gives none); refinement hands both to the children. `e` must be a current leaf of
 * `grid` (std::invalid_argument otherwise). The functions write at most `capacity` labels to
 * `out` and return how many there are. */
int moskFaceLabels(GRID_* grid, ELEMENT_* e, int face, int* out, int capacity); /* sorted */
int moskElementLabel(GRID_* grid, ELEMENT_* e);
/* The sorted, distinct labels of the boundary faces (the same on every process). */
int moskBoundaryLabels(GRID_* grid, int* out, int capacity);

/* The labels of the boundary faces that carry the field's Dirichlet data (moskDofDirichletBC):
 * from then on a basis function is a Dirichlet entry when its node lies on the closure of a
 * boundary face carrying one of the n labels. n < 0 gives back the library-wide choice
 * (-dirichlet_labels, or the whole boundary). A label that no boundary face carries throws
 * std::invalid_argument naming the labels there are, and nothing changes. */
void moskDofSetDirichletLabels(DOF_* dof, const int* labels, int n);

/* Integrals over face `face` (opposite vertex `face`) of the element, exact for polynomials up to
 * degree `order` (-1: the integrand's degree, the sum of the fields' orders, or twice the order
 * of v for a function). Layout and errors as the element calls (moskQuad...Element):
 *   moskQuadFaceBasBasElement: phi_i of u times phi_j of v at out[i * nbas(v) + j];
 *   moskQuadFaceDofTimesBasElement: component c of f times phi_i of v at out[i * dim(f) + c];
 *   moskQuadFaceFuncTimesBasElement: the same for a function of the point with `dim` values. A
 *     face outside 0..3 throws std::out_of_range. */
int moskQuadFaceBasBasElement(ELEMENT_* e, int face, DOF_* u, DOF_* v, int order, double* out,
                              int capacity);
int moskQuadFaceDofTimesBasElement(ELEMENT_* e, int face, DOF_* f, DOF_* v, int order, double* out,
                                   int capacity);
int moskQuadFaceFuncTimesBasElement(ELEMENT_* e, int face, MOSK_POINT_FUNC g, int dim, DOF_* v,
                                    int order, double* out, int capacity);

/* One step of a time series: `file` ends in .pvd. Writes the step, x_<step>.vtu beside the index
 * (x_<step>.pvtu with one piece per process on several processes), then rewrites the index
 * (atomically) with every step of the series so far and its time. The first export to a .pvd
 * name in a run starts a new series; moskExportVTKn to it numbers the steps' times 0, 1, 2, ...
 * A time that is not finite, or a time with another extension, throws std::invalid_argument. */
void moskExportVTKTime(GRID_* grid, const char* file, double time, int n, struct DOF_** dofs);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* MOSK_H */
