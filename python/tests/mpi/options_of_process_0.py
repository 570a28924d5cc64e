"""Only process 0 is given library options: every process must take them, or the processes
would read the mesh in different ways and only process 0 would sum the counts of a balance's log
line, and they would wait for each other."""
import os
import sys

if os.environ.get("OMPI_COMM_WORLD_RANK") == "0":
    os.environ["MOSK_OPTIONS"] = "-verbosity 1 -read_whole_limit 0"
else:
    os.environ.pop("MOSK_OPTIONS", None)
import _pymosk  # noqa: E402

grid = _pymosk.Grid(sys.argv[1])
grid.balance(1.05)
grid.refineAllElements(1)
grid.balance(1.0)
print(grid.getGlobalNumElements())
