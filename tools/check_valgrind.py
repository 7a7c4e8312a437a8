"""Reads a memcheck log and fails on what concerns the extension.

    python tools/check_valgrind.py build/valgrind.log

Fails (exit 1) when the log has
  * any invalid read, write or free, a mismatched free, an overlap, or a jump
    or a system call depending on uninitialised bytes: anywhere, since any of
    them may be caused by our library's misuse of an interpreter object;
  * a "definitely lost" record allocated from our library: one whose stack
    reaches the extension before it reaches Python code or the import
    machinery (an allocation our C++ asked for, directly or through the C API).
The interpreter's own loss at exit (thousands of records, among them modules
imported by our initialisation) is counted, not failed on.
"""

import re
import sys

LIBRARY = "kestro_core.cpython-"
ERROR_KINDS = (
    "Invalid read",
    "Invalid write",
    "Invalid free",
    "Mismatched free",
    "Source and destination overlap",
    "Conditional jump or move depends on uninitialised value",
    "Use of uninitialised value",
    "Syscall param",
    "Invalid memory pool",
)
# frames that mean: from here up, Python code or the importer did the allocating
PYTHON_LEVEL = re.compile(r"_PyEval_EvalFrame|PyImport_|import_find_and_load|PyEval_EvalCode")
LINE = re.compile(r"^==\d+== ?(.*)$")


def records(lines):
    """The log's blocks: runs of lines between blank '==pid==' lines."""
    block = []
    for raw in lines:
        m = LINE.match(raw.rstrip("\n"))
        if not m:
            continue
        text = m.group(1)
        if text.strip():
            block.append(text)
        elif block:
            yield block
            block = []
    if block:
        yield block


def ours(frames):
    for frame in frames:
        if LIBRARY in frame:
            return True
        if PYTHON_LEVEL.search(frame):
            return False
    return False


def main(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        blocks = list(records(f))
    errors, lost_ours, lost_other = [], [], 0
    summary = ""
    for block in blocks:
        head = block[0]
        summary = next((line for line in block if line.startswith("ERROR SUMMARY")), summary)
        if any(head.startswith(kind) for kind in ERROR_KINDS):
            errors.append(block)
        elif "definitely lost in loss record" in head:
            if ours(block[1:]):
                lost_ours.append(block)
            else:
                lost_other += 1
    if not summary:
        print(f"{path}: no memcheck summary; did the run finish?")
        return 1
    for block in errors + lost_ours:
        print("\n".join(block))
        print()
    print(
        f"{path}: {len(errors)} memory errors, {len(lost_ours)} definitely-lost records from our library, "
        f"{lost_other} definitely-lost records of the interpreter (not counted)"
    )
    print(summary)
    return 1 if errors or lost_ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build/valgrind.log"))
