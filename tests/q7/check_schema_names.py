#!/usr/bin/env python3
"""Checks that every Q7 table and field name the daemon's sources pass to Q7
is in the schema.

  check_schema_names.py SCHEMA.json DIR...

Reads the C/C++ files under each DIR, finds the calls that name Q7 tables and
fields (q7_get_*/q7_set_*/q7_subscribe, dal_call_on_change and the daemon's
table-bound getters), resolves string literals and constants defined as
NAME = "text" / NAME[] = "text" / NAME[] = {"a", "b"} (then NAME[i]), and
fails naming each table or field that the schema lacks. Arguments that are
not constants (parameters, variables) are skipped."""
import json
import os
import re
import sys

# call name -> (table argument index or fixed table name, field argument index or None)
CALLS = {
    "q7_subscribe": (1, None),
    "dal_call_on_change": (0, 1),
    "get_general_string": ("General", 0),
    "get_general_ascii": ("General", 0),
    "get_wexsig_enum": ("Wexsignature", 0),
    "get_wexsig_ascii": ("Wexsignature", 0),
    "get_deviceid_ascii": ("DeviceIdList", 0),
    "get_deviceid_string": ("DeviceIdList", 0),
}
Q7_ACCESS = re.compile(r"\bq7_(?:get|set)_[a-z0-9]+$")
STRING = r'"(?:[^"\\\n]|\\.)*"'
CONST = re.compile(r"\b([A-Za-z_]\w*)\s*(?:\[\s*\d*\s*\])?\s*=\s*(" + STRING + r")")
ARRAY = re.compile(r"\b([A-Za-z_]\w*)\s*\[\s*\d*\s*\]\s*=\s*\{([^}]*)\}")
CALL = re.compile(r"\b([A-Za-z_]\w*)\s*\(")


def strip_comments(src):
    out, i, n = [], 0, len(src)
    while i < n:
        if src.startswith("//", i):
            i = src.find("\n", i) if src.find("\n", i) >= 0 else n
        elif src.startswith("/*", i):
            j = src.find("*/", i + 2)
            i = n if j < 0 else j + 2
        elif src[i] in "\"'":
            q, j = src[i], i + 1
            while j < n and src[j] != q:
                j += 2 if src[j] == "\\" else 1
            out.append(src[i:j + 1])
            i = j + 1
        else:
            out.append(src[i])
            i += 1
    return "".join(out)


def unquote(lit):
    return bytes(lit[1:-1], "utf-8").decode("unicode_escape")


def split_args(src, start):
    """Arguments of the call whose '(' is at start-1; None if unbalanced."""
    args, depth, cur, i = [], 0, [], start
    while i < len(src):
        c = src[i]
        if c in "\"'":
            j = i + 1
            while j < len(src) and src[j] != c:
                j += 2 if src[j] == "\\" else 1
            cur.append(src[i:j + 1])
            i = j + 1
            continue
        if c in "([{":
            depth += 1
        elif c in ")]}":
            if depth == 0:
                args.append("".join(cur).strip())
                return args
            depth -= 1
        elif c == "," and depth == 0:
            args.append("".join(cur).strip())
            cur = []
            i += 1
            continue
        cur.append(c)
        i += 1
    return None


def resolve(arg, consts, arrays):
    if re.fullmatch(STRING, arg):
        return unquote(arg)
    if arg in consts:
        return consts[arg]
    m = re.fullmatch(r"([A-Za-z_]\w*)\s*\[\s*(\d+)\s*\]", arg)
    if m and m.group(1) in arrays and int(m.group(2)) < len(arrays[m.group(1)]):
        return arrays[m.group(1)][int(m.group(2))]
    return None


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1]) as f:
        tables = {t: set(v["fields"]) for t, v in json.load(f)["tables"].items()}
    sources = {}
    for d in argv[2:]:
        for root, _, files in os.walk(d):
            for name in sorted(files):
                if name.endswith((".c", ".cpp", ".cc", ".h", ".hpp")):
                    path = os.path.join(root, name)
                    with open(path, errors="replace") as f:
                        sources[path] = strip_comments(f.read())
    consts, arrays = {}, {}
    for src in sources.values():
        for m in CONST.finditer(src):
            consts[m.group(1)] = unquote(m.group(2))
        for m in ARRAY.finditer(src):
            items = [x.strip() for x in m.group(2).split(",") if x.strip()]
            if items and all(re.fullmatch(STRING, x) for x in items):
                arrays[m.group(1)] = [unquote(x) for x in items]
    bad = []
    checked = 0
    for path, src in sources.items():
        for m in CALL.finditer(src):
            name = m.group(1)
            shape = CALLS.get(name) or ((1, 3) if Q7_ACCESS.match(name) else None)
            args = split_args(src, m.end()) if shape else None
            if not args:
                continue
            line = src.count("\n", 0, m.start()) + 1
            t_arg, f_arg = shape
            table = t_arg if isinstance(t_arg, str) else (
                resolve(args[t_arg], consts, arrays) if t_arg < len(args) else None)
            field = resolve(args[f_arg], consts, arrays) if f_arg is not None and f_arg < len(args) else None
            where = f"{path}:{line}: {name}"
            if table is not None:
                checked += 1
                if table not in tables:
                    bad.append(f'{where}: table "{table}" is not in the schema')
                    continue
            if field is not None:
                checked += 1
                known = tables[table] if table is not None else set().union(*tables.values())
                if field not in known:
                    bad.append(f'{where}: field "{field}" is not in {"table " + table if table else "any table"}')
    for b in bad:
        print(b, file=sys.stderr)
    print(f"check_schema_names: {checked} names checked, {len(bad)} unknown", file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
