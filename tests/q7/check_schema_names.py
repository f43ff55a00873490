#!/usr/bin/env python3
"""check_schema_names.py SCHEMA.json DIR...: fails naming each Q7 table or field
that the C/C++ sources under DIR pass as a string literal to Q7
(q7_get_*/q7_set_*/q7_subscribe, dal_call_on_change, the daemon's
table-bound getters) and the schema lacks."""
import json, os, re, sys

# call -> (table argument index or fixed table, field argument index or None)
CALLS = {"q7_subscribe": (1, None), "dal_call_on_change": (0, 1)}
GETTERS = {"general": "General", "wexsig": "Wexsignature", "deviceid": "DeviceIdList"}  # get_general_ascii(field, ...)
STRING = r'"(?:[^"\\\n]|\\.)*"'
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/|(" + STRING + r"|'(?:[^'\\]|\\.)*')", re.S)
TOKEN = re.compile(STRING + r"|'(?:[^'\\]|\\.)*'|[()\[\]{},]|[^\"'()\[\]{},]+")


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


def main(schema, *dirs):
    with open(schema) as f:
        tables = {t: set(v["fields"]) for t, v in json.load(f)["tables"].items()}
    literal = lambda a: a[1:-1] if re.fullmatch(STRING, a) else None
    bad, checked = [], 0
    for root, _, files in (w for d in dirs for w in os.walk(d)):
        for name in sorted(f for f in files if f.endswith((".c", ".cpp", ".cc", ".h", ".hpp"))):
            path = os.path.join(root, name)
            with open(path, errors="replace") as f:
                src = COMMENT.sub(lambda m: m.group(1) or "\n" * m.group().count("\n"), f.read())
            for m in re.finditer(r"\b(\w+)\s*\(", src):
                g = re.fullmatch(r"get_(general|wexsig|deviceid)_[a-z]+|(q7_(?:get|set)_[a-z0-9]+)", m.group(1))
                shape = CALLS.get(m.group(1)) or (g and ((1, 3) if g.group(2) else (GETTERS[g.group(1)], 0)))
                args = split_args(src, m.end()) if shape else None
                if not args:
                    continue
                where = f"{path}:{src.count(chr(10), 0, m.start()) + 1}: {m.group(1)}"
                t, f = shape
                table = t if isinstance(t, str) else literal(args[t]) if t < len(args) else None
                field = literal(args[f]) if f is not None and f < len(args) else None
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
    sys.exit(main(*sys.argv[1:]) if len(sys.argv) > 2 else __doc__)
