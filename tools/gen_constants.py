"""Turn src/module/constants.def into the C++ header that carries the module's texts.

Sections of the list:
  [raw]      texts needed as C strings before the Python constants exist (or by the C API's
             formatting functions): emitted as plain `inline constexpr char name[]`.
  [text]     Python-level texts: stored zlib-compressed in one block, decoded at import.
  [lines]    NAME FIRST STATEMENT: a code-object line table, as a byte constant in the block.
  [kwnames]  NAME key...: a tuple of keyword names (constants of [text]) built once at import.

Every entry is `name  "json string"`; the text is read with json.loads, so escapes work as in
JSON. Usage: gen_constants.py INPUT OUTPUT
"""

import json
import re
import sys
import zlib

IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)*\Z")
ENTRY = re.compile(r'(\w+)\s+(".*")\s*\Z')

# The byte code of an empty code object is three code units: unit 0 is the function's first
# line, units 1 and 2 the first statement of its body.
NO_COLUMNS = 13


def svarint(value):
    value = (-value << 1) | 1 if value < 0 else value << 1
    out = bytearray()
    while value >= 64:
        out.append(64 | (value & 63))
        value >>= 6
    out.append(value)
    return bytes(out)


def line_table(first, statement):
    entry = lambda units, delta: bytes([0x80 | (NO_COLUMNS << 3) | (units - 1)]) + svarint(delta)
    return entry(1, 0) + entry(2, statement - first)


def c_string(text):
    out = []
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if ch in '"\\':
            out.append("\\" + ch)
        elif 32 <= byte < 127:
            out.append(ch)
        else:
            out.append("\\%03o" % byte)
    return '"' + "".join(out) + '"'


def parse(path):
    sections = {"raw": [], "text": [], "lines": [], "kwnames": []}
    current = None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("[") and line.endswith("]"):
                current = sections[line[1:-1]]
                continue
            where = f"{path}:{number}"
            if current is sections["lines"]:
                name, first, statement = line.split()
                current.append((name, line_table(int(first), int(statement))))
            elif current is sections["kwnames"]:
                name, *keys = line.split()
                current.append((name, keys))
            else:
                match = ENTRY.match(line)
                if not match:
                    sys.exit(f"{where}: cannot read entry")
                current.append((match.group(1), json.loads(match.group(2))))
    return sections


def main(source, target):
    s = parse(source)
    names = [n for n, _ in s["text"]] + [n for n, _ in s["lines"]]
    if len(set(names)) != len(names):
        sys.exit("duplicate constant name")
    texts = [t for _, t in s["text"]]
    if len(set(texts)) != len(texts):
        dup = sorted({t for t in texts if texts.count(t) > 1})
        sys.exit(f"text kept twice: {dup!r}")
    pieces = [t.encode("utf-8") for t in texts] + [b for _, b in s["lines"]]
    block = zlib.compress(b"".join(pieces), 9)
    known = set(n for n, _ in s["text"])
    for name, keys in s["kwnames"]:
        for key in keys:
            if key not in known:
                sys.exit(f"kwnames {name}: unknown constant {key}")

    out = [
        "// Generated from src/module/constants.def by tools/gen_constants.py. Do not edit.",
        "#pragma once",
        "#include <cstdint>",
        "",
        "namespace kestro {",
        "",
    ]
    out.append("namespace raw {")
    for name, text in s["raw"]:
        out.append(f"inline constexpr char {name}[] = {c_string(text)};")
    out.append("}  // namespace raw\n")
    out.append("enum class K : std::uint16_t {")
    out += [f"    {n}," for n in names]
    out.append("    count_\n};\n")
    out.append(f"inline constexpr unsigned kTextCount = {len(texts)};")
    out.append(f"inline constexpr unsigned kBytesCount = {len(s['lines'])};")
    out.append(f"inline constexpr unsigned long kBlockSize = {len(block)};")
    out.append(f"inline constexpr unsigned long kPlainSize = {sum(map(len, pieces))};")
    out.append("inline constexpr unsigned char kBlock[] = {")
    for i in range(0, len(block), 20):
        out.append("    " + ",".join(str(b) for b in block[i : i + 20]) + ",")
    out.append("};")
    out.append("inline constexpr std::uint32_t kLengths[] = {")
    out.append("    " + ",".join(str(len(p)) for p in pieces) + ",")
    out.append("};")
    out.append("inline constexpr bool kInterned[] = {")
    out.append("    " + ",".join("true" if IDENT.match(t) else "false" for t in texts) + ",")
    out.append("};\n")
    out.append("enum class KW : std::uint8_t {")
    out += [f"    {n}," for n, _ in s["kwnames"]]
    out.append("    count_\n};\n")
    width = max([len(k) for _, k in s["kwnames"]] + [1])
    out.append(f"inline constexpr unsigned kMaxKeywords = {width};")
    out.append("struct KeywordNames { unsigned size; K names[kMaxKeywords]; };")
    out.append("inline constexpr KeywordNames kKeywordNames[] = {")
    for _, keys in s["kwnames"]:
        out.append("    {%d, {%s}}," % (len(keys), ", ".join(f"K::{k}" for k in keys)))
    out.append("};\n")
    out.append("}  // namespace kestro")
    with open(target, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
