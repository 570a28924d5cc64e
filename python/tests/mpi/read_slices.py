"""A mesh file read on any number of processes: python read_slices.py MESH OUT.json [BAD ...].

Process 0 writes what must not depend on the number of processes: every element (corners,
volume, volume label), every face's labels and how many elements share it, the boundary labels,
and the message that reading each BAD file raises on each process."""
import json
import sys
from collections import Counter

import numpy as np
from mpi4py import MPI

import _pymosk

mesh, out = sys.argv[1], sys.argv[2]
comm = MPI.COMM_WORLD
FACES = [[1, 2, 3], [0, 2, 3], [0, 1, 3], [0, 1, 2]]  # vertices of face k

grid = _pymosk.Grid(mesh)
corners = np.concatenate([b.getVertexCoordinates() for b in grid.getElementBlocks()]).round(12)
volumes = np.concatenate([b.getVolumes() for b in grid.getElementBlocks()])
elements, faces = [], []
for e, x, v in zip(grid.getElementIterator(), corners, volumes):
    elements.append([*sorted(map(tuple, x)), round(v, 14), grid.getElementLabel(e)])
    for k, face in enumerate(FACES):
        faces.append((tuple(sorted(map(tuple, x[face]))), tuple(grid.getFaceLabels(e, k))))
failures = []
for bad in sys.argv[3:]:
    try:
        _pymosk.Grid(bad)
        failures.append("read")
    except Exception as error:  # noqa: BLE001 - the type and text are what is compared
        failures.append(f"{type(error).__name__}: {error}")
everything = comm.gather((elements, faces, grid.getBoundaryLabels(), failures))
if comm.Get_rank() == 0:
    elements = sorted(e for part in everything for e in part[0])
    labels, shared = {}, Counter()
    for part in everything:
        for face, face_labels in part[1]:
            shared[face] += 1
            assert labels.setdefault(face, face_labels) == face_labels  # both sides agree
    faces = sorted([*face, labels[face], shared[face]] for face in shared)
    with open(out, "w") as f:
        json.dump(dict(elements=elements, faces=faces, boundary=[p[2] for p in everything],
                       failures=[p[3] for p in everything], total=grid.getGlobalNumElements()), f)
