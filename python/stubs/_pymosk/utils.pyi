"""Helpers of the mosk interface: element iteration and the boundary treatment of element systems."""
from collections.abc import Sequence
from typing import Any, overload

import numpy as np
import numpy.typing as npt

from _pymosk import Element, Grid, _BindingType

class ElementIterator(metaclass=_BindingType):
    """Walks the leaf elements of a grid in a stable order (what Grid.getElementIterator returns)."""

    def __init__(self, grid: Grid, flag: int, /) -> None:
        """An iterator over the elements of `grid` that `flag` admits: 1 this process's leaf
        elements, 2 every leaf element this process holds, 3 this process's leaf elements with a
        boundary face."""
    def hasNext(self) -> bool:
        """Whether an element is left."""
    def next(self) -> None:
        """Moves to the next element."""
    def getElement(self) -> Element:
        """The current element."""
    def __next__(self) -> Element: ...
    def __iter__(self) -> ElementIterator:
        """The iterator itself: a loop that ran to the end leaves it exhausted."""

@overload
def processBoundary(
    mask: Sequence[int],
    values: Sequence[float] | npt.NDArray[np.float64],
    A: npt.NDArray[np.float64],
    b: npt.NDArray[np.float64],
    /,
) -> None:
    """Applies Dirichlet data to an element system in place: for every i with mask[i] set, row
    and column i of A become those of the identity, b[i] becomes values[i], and the other rows
    of b lose A[:, i] * values[i]. A (n x n, row-major) and b must be writable, C-contiguous
    float64 arrays; or a stack: mask and values (n, N), A (n, N, N), b (n, N)."""
@overload
def processBoundary(
    mask: npt.NDArray[np.integer[Any]],
    values: Sequence[float] | npt.NDArray[np.float64],
    A: npt.NDArray[np.float64],
    b: npt.NDArray[np.float64],
    /,
) -> None: ...
