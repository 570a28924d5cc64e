"""mosk python interface"""
import os
from collections.abc import Callable, Sequence
from typing import Any, ClassVar, overload

import numpy as np
import numpy.typing as npt

from . import utils as utils

_PointFunction = Callable[[list[float]], Sequence[float] | npt.NDArray[Any] | float]
"""A function of the point [x, y, z] returning its dim values (a number for dim 1)."""
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
"""A file name."""
_Indices = Sequence[int] | npt.NDArray[np.integer[Any]]
"""Global indices: a list, a tuple or an integer array."""

def getProcessNumber() -> int:
    """This process's number, 0 to getNumProcesses() - 1 (0 without mpirun)."""

def getNumProcesses() -> int:
    """The number of processes running the script (1 without mpirun)."""

class _BindingType(type):
    """The metaclass of the module's classes (the binding library's)."""

class Grid(metaclass=_BindingType):
    """A tetrahedral grid read from a Gmsh (.msh) or Medit (.mesh) file."""

    def __init__(self, name: _Path = "") -> None:
        """Reads the mesh file `name`; an empty name makes an empty grid."""
    def importFrom(self, name: _Path, /) -> None:
        """Replaces the grid by the mesh in the file `name`; fields on it are reset to zero."""
    @overload
    def exportVTK(self, name: _Path, dofs: list[Dof] = [], time: float | None = None) -> None:
        """Writes the grid and the fields to `name`: VTK legacy (.vtk), XML (.vtu), one piece
        per process (.pvtu), or one step of a time series (.pvd: the step's file beside it, and
        the index rewritten with every step so far and its `time`, the step number if None)."""
    @overload
    def exportVTK(self, name: _Path, dofs: Dof, time: float | None = None) -> None: ...
    def balance(self, imbalance: float, /) -> None:
        """Distributes the leaf elements over the MPI processes, no process holding more than
        `imbalance` times the mean."""
    def refineAllElements(self, levels: int, /) -> None:
        """Bisects every leaf element `levels` times, closing the mesh to a conforming one."""
    def getGlobalNumElements(self) -> int:
        """Leaf elements over all processes."""
    def getNumElements(self) -> int:
        """Leaf elements held by this process."""
    def getElementIterator(self) -> utils.ElementIterator:
        """An iterator over this process's leaf elements, in a stable order."""
    def geomGetVolume(self, e: Element, /) -> float:
        """Volume of the element."""
    def geomGetDiameter(self, e: Element, /) -> float:
        """Length of the element's longest edge."""
    def geomGetJacobian(self, e: Element, /) -> list[float]:
        """The 4 x 4 matrix, row-major, of the affine map from (x, y, z, 1) to the barycentric
        coordinates of the element."""
    def geomGetFaceArea(self, e: Element, face: int, /) -> float:
        """Area of face `face` (0..3, opposite vertex `face`)."""
    def geomGetFaceDiameter(self, e: Element, face: int, /) -> float:
        """Longest edge of the face."""
    def geomGetFaceNormal(self, e: Element, face: int, /) -> list[float]:
        """Unit outward normal of the face."""
    def geomGetQuadraturePoints(
        self, e: Element, order: int
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """(points, weights) of the rule exact to degree `order` on the element: points (nq, 3),
        weights times |det J| (nq,), which sum to the volume."""
    def getElementBlocks(self, size: int = 8192) -> ElementBlockIterator:
        """This process's elements in blocks of up to `size`, in the order of the element
        iterator."""
    def getFaceLabels(self, e: Element, face: int) -> list[int]:
        """Every label of face `face` of the element (sorted; -1 on a boundary face the mesh file
        labels not; empty on an interior face without one)."""
    def getElementLabel(self, e: Element) -> int:
        """The element's volume label from the mesh file, 0 when none."""
    def getBoundaryLabels(self) -> list[int]:
        """The sorted labels of the boundary faces."""

class Element(metaclass=_BindingType):
    """A leaf element of a grid, as the element iterator yields it."""

    def __init__(self, *args: object, **kwargs: object) -> None:
        """Not callable: elements come from Grid.getElementIterator (TypeError otherwise)."""

    def quadGradBasDotGradBas(self, u: Dof, v: Dof, order: int = -1) -> npt.NDArray[np.float64]:
        """Element matrix of grad(phi_i of u) . grad(phi_j of v), shape (nbas(u), nbas(v));
        `order` is the degree integrated exactly, -1 that of the integrand."""
    def quadBasDotBas(self, u: Dof, v: Dof, order: int = -1) -> npt.NDArray[np.float64]:
        """Element matrix of phi_i of u times phi_j of v."""
    def quadDofTimesBas(self, f: Dof, v: Dof, order: int = -1) -> npt.NDArray[np.float64]:
        """Integrals of each component of the field f times the basis functions of v, shape
        (dim(f), nbas(v))."""
    def quadFaceBasDotBas(
        self, u: Dof, v: Dof, face: int, order: int = -1
    ) -> npt.NDArray[np.float64]:
        """Integrals over face `face` of the basis functions of u times those of v, shape
        (nbas(u), nbas(v))."""
    def quadFaceDofTimesBas(
        self, f: Dof, v: Dof, face: int, order: int = -1
    ) -> npt.NDArray[np.float64]:
        """Integrals over face `face` of each component of the field f times the basis functions
        of v, shape (dim(f), nbas(v))."""
    def quadFaceFuncTimesBas(
        self, g: _PointFunction, v: Dof, face: int, order: int = -1
    ) -> npt.NDArray[np.float64]:
        """Integrals over face `face` of each of the dim(v) values of g(point) times the basis
        functions of v, shape (dim(v), nbas(v))."""
    def getDirichletBC(self, dof: Dof, f: _PointFunction | None, /) -> list[Any]:
        """[mask, values], a list[int] and a list[float] for processBoundary: per basis function
        of `dof` on the element, 1 when its node lies on a Dirichlet boundary face (0 otherwise),
        and the boundary function `f` there. A field of dim > 1 has dim entries per basis
        function: entry i * dim + k is component k of basis function i, whose global index is
        getGlobalIndex(...)[i] + k."""
    @overload
    def getGlobalIndex(self, e: Solver, dof_idx: int = 0) -> list[int]:
        """Global indices of the basis functions of field `dof_idx` of the solver or map `e`."""
    @overload
    def getGlobalIndex(self, e: Map, dof_idx: int = 0) -> list[int]: ...
    def getBasisValues(self, u: Dof, order: int) -> npt.NDArray[np.float64]:
        """The basis functions of u at the points of the rule exact to degree `order`, shape
        (nq, nbas(u))."""
    def getBasisGradients(self, u: Dof, order: int) -> npt.NDArray[np.float64]:
        """Their physical gradients, shape (nq, nbas(u), 3)."""

class ElementBlockIterator(metaclass=_BindingType):
    """The blocks of Grid.getElementBlocks."""

    def __init__(self, *args: object, **kwargs: object) -> None:
        """Not callable: blocks come from Grid.getElementBlocks (TypeError otherwise)."""
    def __iter__(self) -> ElementBlockIterator: ...
    def __next__(self) -> ElementBlock: ...

class ElementBlock(metaclass=_BindingType):
    """A run of this process's elements; every result is stacked along a leading element axis
    of length len(block), each element's part as the Element method of the same name gives it.
    A block whose grid was refined or re-imported raises RuntimeError."""

    def __init__(self, *args: object, **kwargs: object) -> None:
        """Not callable: blocks come from Grid.getElementBlocks (TypeError otherwise)."""
    def __len__(self) -> int: ...
    def quadGradBasDotGradBas(self, u: Dof, v: Dof, order: int = -1) -> npt.NDArray[np.float64]:
        """Element matrices of grad(phi_i of u) . grad(phi_j of v), shape (n, nbas(u), nbas(v))."""
    def quadBasDotBas(self, u: Dof, v: Dof, order: int = -1) -> npt.NDArray[np.float64]:
        """Element matrices of phi_i of u times phi_j of v, shape (n, nbas(u), nbas(v))."""
    def quadDofTimesBas(self, f: Dof, v: Dof, order: int = -1) -> npt.NDArray[np.float64]:
        """Integrals of each component of f times the basis of v, shape (n, dim(f), nbas(v))."""
    def getQuadraturePoints(
        self, order: int
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """(points (n, nq, 3), weights times |det J| (n, nq)) of the rule exact to degree
        `order`."""
    def getBasisValues(self, u: Dof, order: int) -> npt.NDArray[np.float64]:
        """The basis functions of u at those points, shape (n, nq, nbas(u))."""
    def getBasisGradients(self, u: Dof, order: int) -> npt.NDArray[np.float64]:
        """Their physical gradients, shape (n, nq, nbas(u), 3)."""
    def getGlobalIndex(self, e: Solver | Map, dof_idx: int = 0) -> npt.NDArray[np.int32]:
        """Global indices of the basis functions of field `dof_idx`, shape (n, nbas)."""
    def getDirichletBC(
        self,
        u: Dof,
        g: _PointFunction | Callable[[npt.NDArray[np.float64]], npt.ArrayLike],
        vectorized: bool = False,
    ) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float64]]:
        """(mask, values), each (n, nbas * dim): entry i * dim + c is component c of basis
        function i (the layout of the field's indices). g is called per point as for an
        element, or with vectorized=True once with an (m, 3) array of the boundary nodes,
        returning (m,) or (m, dim) values."""
    def getVolumes(self) -> npt.NDArray[np.float64]:
        """The elements' volumes, shape (n,)."""
    def getVertexCoordinates(self) -> npt.NDArray[np.float64]:
        """The elements' vertices, shape (n, 4, 3), in each element's vertex order."""

class Dof(metaclass=_BindingType):
    """A finite-element field (degrees of freedom) on a grid."""

    def __init__(
        self,
        g: Grid,
        dof_type: str,
        order: int = 1,
        dim: int = 1,
        udf: _PointFunction | None = None,
        name: str = "",
        init_type: str = "DofInterpolation",
    ) -> None:
        """A field of the type family `dof_type` ("P", "Lagrange") and `order` with `dim`
        components, interpolating `udf` when given, else initialised by `init_type`
        ("DofInterpolation", "DofLambdaFunction", "DofNoData", "DofNoAction")."""
    def setDataByValue(self, value: float, /) -> None:
        """Sets every value of the field to `value`."""
    def getDim(self) -> int:
        """Number of components."""
    def getGrid(self) -> Grid:
        """The grid the field lives on."""
    def getNBas(self, e: Element, /) -> int:
        """Number of basis functions of the field on the element."""
    def getDirichletBC(self, e: Element, f: _PointFunction | None, /) -> list[Any]:
        """As Element.getDirichletBC(self, f)."""
    def setDirichletLabels(self, labels: list[int] | None) -> None:
        """From now on getDirichletBC marks the nodes on boundary faces carrying one of
        `labels` (none for an empty list); None gives back the library-wide choice (ValueError
        for a label no boundary face carries)."""
    def getSize(self) -> int:
        """Number of values of the field over all processes."""
    def getLocalSize(self) -> int:
        """Number of values this process holds: those of the nodes of its elements, owned and
        ghost (getSize() on one process)."""
    def getValues(self, *, whole: bool = False) -> npt.NDArray[np.float64]:
        """A copy of this process's values, shape (getLocalSize(),), in the order of
        getGlobalIndices(). whole=True (collective): every value, shape (getSize(),), in the
        global numbering of Map(self), so that the values of element e are
        getValues(whole=True)[e.getGlobalIndex(Map(self))] (plus k for component k); every
        process receives the whole array. On one process the two are the same."""
    def setValues(self, values: npt.ArrayLike, /, *, whole: bool = False) -> None:
        """Sets this process's values from an array-like of getLocalSize() real, finite numbers
        in the order of getValues(); afterwards every ghost value is its owner's. whole=True:
        every value, getSize() of them in the global numbering, the same on every process.
        Collective; ValueError otherwise, and the field is unchanged."""
    def getNodeCoordinates(self, *, whole: bool = False) -> npt.NDArray[np.float64]:
        """Coordinates of the node of each value, shape (getLocalSize(), 3) in the order of
        getValues() (whole=True: (getSize(), 3), collective); the rows repeat for the components
        of a node."""
    def getGlobalIndices(self) -> npt.NDArray[np.int64]:
        """The global index of each of this process's values in Map(self) (collective)."""
    def getOwnedMask(self) -> npt.NDArray[np.bool_]:
        """True for the values this process owns, False for ghost copies (collective)."""

class Map(metaclass=_BindingType):
    """A numbering of the values of a list of fields, one field after another."""

    @overload
    def __init__(self, dof: Dof, /) -> None:
        """A map over one field or a list of fields."""
    @overload
    def __init__(self, dofs: list[Dof], /) -> None: ...
    def getGlobalIndex(self, e: Element, dof_idx: int = 0) -> list[int]:
        """Global indices of the basis functions of field `dof_idx` on the element."""
    def getDof(self, dof_idx: int, /) -> Dof:
        """Field number `dof_idx` of the map."""
    def getSize(self) -> int:
        """Indices held by this process."""
    def getGlobalSize(self) -> int:
        """Indices over all processes."""

class Solver(metaclass=_BindingType):
    """A sparse linear system over a list of fields, assembled element by element and solved
    into the fields by a named kind: "cg", "gmres", "bicgstab", "lu" or "petsc"."""

    class Symmetry(metaclass=_BindingType):
        """Symmetry of the system matrix."""

        UNSYM: ClassVar[Solver.Symmetry]
        SSYM: ClassVar[Solver.Symmetry]
        SYM: ClassVar[Solver.Symmetry]
        SPD: ClassVar[Solver.Symmetry]
        __members__: ClassVar[dict[str, Solver.Symmetry]]
        def __init__(self, value: int) -> None: ...
        def __eq__(self, other: object) -> bool: ...
        def __ne__(self, other: object) -> bool: ...
        def __hash__(self) -> int: ...
        def __index__(self) -> int: ...
        def __int__(self) -> int: ...
        def __getstate__(self) -> int: ...
        def __setstate__(self, state: int) -> None: ...
        @property
        def name(self) -> str: ...
        @property
        def value(self) -> int: ...

    UNSYM: ClassVar[Solver.Symmetry]
    SSYM: ClassVar[Solver.Symmetry]
    SYM: ClassVar[Solver.Symmetry]
    SPD: ClassVar[Solver.Symmetry]

    @overload
    def __init__(self, name: str, dof: Dof, /) -> None:
        """A solver of the kind `name` over one field or a list of fields."""
    @overload
    def __init__(self, name: str, dofs: list[Dof], /) -> None: ...
    @overload
    def addMatrixEntries(
        self, rows: Sequence[int], cols: Sequence[int], values: npt.ArrayLike, /
    ) -> None:
        """Adds the dense block `values` (row-major, exactly len(rows) x len(cols) values) to
        the matrix; or a stack of blocks: rows (n, r), cols (n, c) and values (n, r, c) NumPy
        arrays."""
    @overload
    def addMatrixEntries(
        self, rows: npt.NDArray[np.integer[Any]], cols: npt.NDArray[np.integer[Any]],
        values: npt.ArrayLike, /
    ) -> None: ...
    @overload
    def addRHSEntries(self, indices: Sequence[int], values: npt.ArrayLike, /) -> None:
        """Adds values[i] to the right-hand side at indices[i] (exactly len(indices) values); or
        stacks of shape (n, r)."""
    @overload
    def addRHSEntries(
        self, indices: npt.NDArray[np.integer[Any]], values: npt.ArrayLike, /
    ) -> None: ...
    def getGlobalIndex(self, e: Element, dof_idx: int = 0) -> list[int]:
        """Global indices of the basis functions of field `dof_idx` on the element."""
    @overload
    def solve(self, dof: Dof, /) -> None:
        """Solves the system and writes the solution into the field(s)."""
    @overload
    def solve(self, dofs: list[Dof], /) -> None: ...
    def setSymmetry(self, symmetry: Solver.Symmetry, /) -> None:
        """Tells the solver the symmetry of the matrix."""
    def dumpMATLAB(self, matrix_file: _Path, rhs_file: _Path, /) -> None:
        """Writes MATLAB/Octave scripts of the matrix (A) and the right-hand side (b)."""
    def zeroMatrix(self) -> None:
        """Sets every matrix entry to zero, keeping the pattern, so that the next assembly starts
        afresh. Until the matrix changes (this call is a change), solves reuse its
        preconditioner or factorisation."""
    def zeroRHS(self) -> None:
        """Sets the right-hand side to zero."""
    def setOptions(self, options: str, /) -> None:
        """Options of this solver alone, in the syntax of MOSK_OPTIONS: -solver_rtol X and
        -solver_maxit N, and PETSc options for this solver's KSP and PC without prefix
        ("-ksp_monitor"). Later calls add to earlier ones. A misspelt or library-wide option
        raises ValueError. Under MPI every process must pass the same text."""
