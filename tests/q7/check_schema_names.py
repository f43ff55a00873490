#!/usr/bin/env python3
"""check_schema_names.py SCHEMA.json DIR...: fails naming each Q7 table or field
that the C/C++ sources under DIR pass to Q7 (q7_get_*/q7_set_*/q7_subscribe,
dal_call_on_change, the daemon's table-bound getters) and the schema lacks.
Resolves string literals and constants (NAME = "text", NAME[] = {"a", ...}
then NAME[i]); other arguments are skipped."""
import json, os, re, sys

# call -> (table argument index or fixed table, field argument index or None)
CALLS = {"q7_subscribe": (1, None), "dal_call_on_change": (0, 1),
         "get_general_string": ("General", 0), "get_general_ascii": ("General", 0),
         "get_wexsig_enum": ("Wexsignature", 0), "get_wexsig_ascii": ("Wexsignature", 0),
         "get_deviceid_ascii": ("DeviceIdList", 0), "get_deviceid_string": ("DeviceIdList", 0)}
STRING = r'"(?:[^"\\\n]|\\.)*"'
COMMENT = re.compile(r'//[^\n]*|/\*.*?\*/|(' + STRING + r"|'(?:[^'\\]|\\.)*')", re.S)
CONST = re.compile(r"\b(\w+)\s*(?:\[\s*\d*\s*\])?\s*=\s*(" + STRING + ")")
ARRAY = re.compile(r"\b(\w+)\s*\[\s*\d*\s*\]\s*=\s*\{([^}]*)\}")
TOKEN = re.compile(STRING + r"|'(?:[^'\\]|\\.)*'|[()\[\]{},]|[^\"'()\[\]{},]+")


def unquote(lit):
    return bytes(lit[1:-1], "utf-8").decode("unicode_escape")


def split_args(src, start):
    """The arguments of the call whose '(' ends at start; None if unbalanced."""
    args, cur, depth = [], "", 0
    for t in TOKEN.findall(src, start):
        if t in ")]}" and depth == 0:
            return args + [cur.strip()]
        if t == "," and depth == 0:
            args, cur = args + [cur.strip()], ""
        else:
            depth, cur = depth + (t in "([{") - (t in ")]}"), cur + t
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
            for name in sorted(f for f in files if f.endswith((".c", ".cpp", ".cc", ".h", ".hpp"))):
                with open(os.path.join(root, name), errors="replace") as f:
                    sources[os.path.join(root, name)] = COMMENT.sub(
                        lambda m: m.group(1) or "\n" * m.group().count("\n"), f.read())
    consts, arrays = {}, {}
    for src in sources.values():
        consts.update((m.group(1), unquote(m.group(2))) for m in CONST.finditer(src))
        for m in ARRAY.finditer(src):
            items = [x.strip() for x in m.group(2).split(",") if x.strip()]
            if items and all(re.fullmatch(STRING, x) for x in items):
                arrays[m.group(1)] = [unquote(x) for x in items]

    def resolve(arg):
        if re.fullmatch(STRING, arg):
            return unquote(arg)
        m = re.fullmatch(r"(\w+)\s*\[\s*(\d+)\s*\]", arg)
        if m and int(m.group(2)) < len(arrays.get(m.group(1), [])):
            return arrays[m.group(1)][int(m.group(2))]
        return consts.get(arg)

    bad, checked = [], 0
    for path, src in sources.items():
        for m in re.finditer(r"\b(\w+)\s*\(", src):
            name = m.group(1)
            shape = CALLS.get(name) or ((1, 3) if re.fullmatch(r"q7_(?:get|set)_[a-z0-9]+", name) else None)
            args = split_args(src, m.end()) if shape else None
            if not args:
                continue
            where = f"{path}:{src.count(chr(10), 0, m.start()) + 1}: {name}"
            t, f = shape
            table = t if isinstance(t, str) else resolve(args[t]) if t < len(args) else None
            field = resolve(args[f]) if f is not None and f < len(args) else None
            checked += table is not None
            if table is not None and table not in tables:
                bad.append(f'{where}: table "{table}" is not in the schema')
                continue
            checked += field is not None
            if field is not None and field not in (tables[table] if table else set().union(*tables.values())):
                bad.append(f'{where}: field "{field}" is not in {"table " + table if table else "any table"}')
    for b in bad:
        print(b, file=sys.stderr)
    print(f"check_schema_names: {checked} names checked, {len(bad)} unknown", file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
