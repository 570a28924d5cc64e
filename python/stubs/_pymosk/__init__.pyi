"""mosk python interface"""
from collections.abc import Callable, Sequence
from typing import ClassVar, overload

import numpy as np
import numpy.typing as npt

from . import utils as utils

_PointFunction = Callable[[list[float]], Sequence[float]]
"""A function of the point [x, y, z] returning one value per component."""

def getProcessNumber() -> int:
    """This process's number, 0 to getNumProcesses() - 1 (0 without mpirun)."""

def getNumProcesses() -> int:
    """The number of processes running the script (1 without mpirun)."""

class _BindingType(type):
    """The metaclass of the module's classes (the binding library's)."""

class Grid(metaclass=_BindingType):
    """A tetrahedral grid read from a Gmsh (.msh) or Medit (.mesh) file."""

    def __init__(self, name: str = "") -> None:
        """Reads the mesh file `name`; an empty name makes an empty grid."""
    def importFrom(self, name: str, /) -> None:
        """Replaces the grid by the mesh in the file `name`; fields on it are reset to zero."""
    @overload
    def exportVTK(self, name: str, dofs: list[Dof] = []) -> None:
        """Writes the grid and the fields to `name`: VTK legacy (.vtk) or XML (.vtu)."""
    @overload
    def exportVTK(self, name: str, dof: Dof, /) -> None: ...
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
    def getDirichletBC(self, dof: Dof, f: _PointFunction | None, /) -> list[list[int] | list[float]]:
        """[mask, values]: per basis function of `dof` on the element, 1 when its node lies on a
        Dirichlet boundary face (0 otherwise), and the boundary function `f` there."""
    @overload
    def getGlobalIndex(self, e: Solver, dof_idx: int = 0) -> list[int]:
        """Global indices of the basis functions of field `dof_idx` of the solver or map `e`."""
    @overload
    def getGlobalIndex(self, e: Map, dof_idx: int = 0) -> list[int]: ...

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
    def getDirichletBC(self, e: Element, f: _PointFunction | None, /) -> list[list[int] | list[float]]:
        """As Element.getDirichletBC(self, f)."""
    def getSize(self) -> int:
        """Number of values of the field over all processes."""
    def getValues(self) -> npt.NDArray[np.float64]:
        """A copy of all values, shape (getSize(),), in the global numbering of Map(self): the
        values of element e are getValues()[e.getGlobalIndex(Map(self))] (plus k for component
        k). Every MPI process receives the whole array."""
    def setValues(self, values: npt.ArrayLike, /) -> None:
        """Sets all values from an array-like of getSize() real, finite numbers in the order of
        getValues (ValueError otherwise, and the field is unchanged). Under MPI every process
        must pass the same values."""
    def getNodeCoordinates(self) -> npt.NDArray[np.float64]:
        """Coordinates of the node of each value, shape (getSize(), 3), in the order of
        getValues; the rows repeat for the components of a node."""

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
    def addMatrixEntries(
        self, rows: list[int], cols: list[int], values: npt.ArrayLike, /
    ) -> None:
        """Adds the dense block `values` (row-major, len(rows) x len(cols)) to the matrix."""
    def addRHSEntries(self, indices: list[int], values: npt.ArrayLike, /) -> None:
        """Adds values[i] to the right-hand side at indices[i]."""
    def getGlobalIndex(self, e: Element, dof_idx: int = 0) -> list[int]:
        """Global indices of the basis functions of field `dof_idx` on the element."""
    @overload
    def solve(self, dof: Dof, /) -> None:
        """Solves the system and writes the solution into the field(s)."""
    @overload
    def solve(self, dofs: list[Dof], /) -> None: ...
    def setSymmetry(self, symmetry: Solver.Symmetry, /) -> None:
        """Tells the solver the symmetry of the matrix."""
    def dumpMATLAB(self, matrix_file: str, rhs_file: str, /) -> None:
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
