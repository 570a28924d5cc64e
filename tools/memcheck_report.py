"""Reads a valgrind memcheck log and fails when a report concerns this project's code.

Every invalid access and bad free counts wherever it happens, except the dynamic loader's known
word-wise string compare (glibc's strncmp reading past a terminator in is_dst, which valgrind
cannot tell from an overrun); uninitialised uses count in our code. Definite leaks count when their
allocation stack passes through libmosk or _pymosk, except allocations that MPI makes inside its
own start-up and shut-down (PetscInitialize -> MPI_Init, PetscFinalize -> MPI_Finalize), which it
keeps on purpose, and str objects that the interpreter makes for attribute names the module
registers: CPython 3.12 interns them as immortal objects and never frees them.
"""
import re
import sys

OURS = re.compile(r"libmosk\.so|_pymosk\.")
MPI_LIFETIME = re.compile(r"PMPI_Init|ompi_mpi_init|ompi_mpi_finalize|PMPI_Finalize")
LOADER_COMPARE = re.compile(r"is_dst \(dl-load\.c")
INTERPRETER_FRAME = re.compile(r"\((unicodeobject|object|dictobject|modsupport)\.c:\d+\)")


def interned_name(block):
    """True for a str that CPython allocated (and interned) between our frame and the allocator."""
    frames = block[2:]  # after the heading and the allocator itself
    for i, line in enumerate(frames):
        if OURS.search(line):
            return i > 0 and "PyUnicode_New" in frames[0]
        if not INTERPRETER_FRAME.search(line):
            return False
    return False
ALWAYS = re.compile(r"Invalid (read|write|free)|Mismatched free|Source and destination overlap|"
                    r"uninitialised|unaddressable")


def records(text):
    """Splits the log into reports: blocks of lines separated by an empty '==pid==' line."""
    block = []
    for line in text.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if not body.strip():
            if block:
                yield block
            block = []
        else:
            block.append(body)
    if block:
        yield block


def main(path):
    text = open(path).read()
    bad = []
    for block in records(text):
        head = block[0]
        ours = any(OURS.search(line) for line in block)
        if ALWAYS.search(head) and not head.startswith("Warning"):
            if "uninitialised" in head and not ours:
                continue  # MPI's transports send padding bytes; only our code's uses count
            if any(LOADER_COMPARE.search(line) for line in block[:4]):
                continue
            bad.append(block)
        elif "definitely lost" in head and ours:
            if not any(MPI_LIFETIME.search(line) for line in block) and not interned_name(block):
                bad.append(block)
    summary = re.findall(r"ERROR SUMMARY: .*", text)
    lost = re.findall(r"definitely lost: .*", text)
    print(f"memcheck: {summary[-1] if summary else 'no summary'}; "
          f"{lost[-1] if lost else 'no leak summary'}")
    for block in bad:
        print("\n".join(block[:25]), end="\n\n")
    print(f"memcheck: {len(bad)} report(s) concern this project's code or memory safety")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
