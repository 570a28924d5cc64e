"""The library's folders depend one way: each includes only folders below it."""
import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parents[2] / "mosk" / "src"
# Lower first; folders of one level (quad, solver) do not include each other.
LEVEL = {"core": 0, "io": 1, "grid": 2, "dof": 3, "quad": 4, "solver": 4}


def test_every_folder_includes_only_folders_below_it():
    upward = []
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".cpp", ".h"):
            continue
        folder = path.relative_to(SRC).parts[0]
        assert folder in LEVEL, f"{folder}/ has no place in the layers"
        for included in re.findall(r'#include "(\w+)/', path.read_text()):
            if included in LEVEL and included != folder and LEVEL[included] >= LEVEL[folder]:
                upward.append(f"{path.relative_to(SRC)} includes {included}/")
    assert not upward
