#!/usr/bin/env python3
"""Checks an executable's export table against the framework's golden list.

Fails on a listed name that is not exported, on an export the list does not name and on any
export of an internal family, whatever the list says. A line naming a class admits its vtable,
typeinfo, constructors, destructor and assignment.
"""
import argparse
import re
import subprocess
import sys

# Families that are never exported: the executable's internals and the launcher.
INTERNAL = re.compile(
    r"^(std|__gnu_cxx|__cxxabiv1|ZYNSysTSD(?!ataQueue)\w*|ZYNSysGrowArray|QORInterUnicodeString|QORHttp\w*|ZYNSysNLS\w*"
    r"|ZYNSysCodePage\w*|ZYNSysPath\w*|ZYNSysTrace\w*|JSON|Json\w*|Backbone|Logger|Config|ToolBox|Operations"
    r"|LaunchDaemon|SharedData|UserExtension|Utils|SharedWString|PathName|ValidatedPath|ErrorObject"
    r"|WStringList|OrdanaRequestInfo|MediaInfo|DaemonVersion|FileAndFoldersManager|ConfirmationPopup"
    r"|Systray\w*|ServiceNotice|PipeConnection|CommandRunner|ZipShell|Watchdog)$")
SPECIAL = re.compile(r"^(?:vtable|typeinfo|typeinfo name|VTT|construction vtable) for (.+)$")


def exported_names(args):
    if args.exports_text:
        with open(args.exports_text, encoding="utf-8") as f:
            return [line.strip() for line in f if line.strip() and not line.startswith("#")]
    dump = subprocess.run([args.objdump, "-p", args.exe], check=True, capture_output=True, text=True).stdout
    names, in_table = [], False
    for line in dump.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            in_table = True
            continue
        if in_table:
            m = re.match(r"^\s*\[\s*\d+\]\s+(\S+)$", line)
            if not m:
                break
            names.append(m.group(1))
    return names


def demangle(cxxfilt, names):
    if not names:
        return []
    out = subprocess.run([cxxfilt], input="\n".join(names) + "\n", check=True, capture_output=True,
                         text=True).stdout
    return out.splitlines()


OPERATOR_SYMBOL = re.compile(r"operator(\(\)|[<>=!+\-*/%^&|~\[\],]*)")


def strip_parameters(name):
    """QORMutex::Lock() -> QORMutex::Lock; data names come through unchanged."""
    depth = 0
    i = 0
    while i < len(name):
        # An operator's own symbol (<<, >>, (), ...) neither nests nor opens the parameters.
        symbol = OPERATOR_SYMBOL.match(name, i) if name.startswith("operator", i) else None
        if symbol:
            i = symbol.end()
            continue
        c = name[i]
        if c == "<":
            depth += 1
        elif c == ">":
            depth -= 1
        elif c == "(" and depth == 0:
            return name[:i]
        i += 1
    return name


def keys_of(demangled):
    """The golden-list lines that could admit an export: its own name, or its class."""
    special = SPECIAL.match(demangled)
    if special:
        return [special.group(1)]
    name = strip_parameters(demangled)
    parts = name.split("::")
    keys = [name]
    if len(parts) >= 2:
        owner, member = "::".join(parts[:-1]), parts[-1]
        last = parts[-2]
        if member in (last, "~" + last) or member.startswith("operator="):
            keys.append(owner)
    return keys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--golden", required=True)
    parser.add_argument("--cxxfilt", required=True)
    parser.add_argument("--objdump")
    parser.add_argument("--exe")
    parser.add_argument("--exports-text", help="mangled export names, one a line, in place of an exe")
    args = parser.parse_args()

    with open(args.golden, encoding="utf-8") as f:
        golden = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    mangled = exported_names(args)
    demangled = demangle(args.cxxfilt, mangled)

    seen, unlisted, internal = set(), [], []
    for raw, name in zip(mangled, demangled):
        keys = keys_of(name)
        if INTERNAL.match(keys[0].split("::")[0]):
            internal.append(f"{name} ({raw})")
            continue
        admitted = [k for k in keys if k in golden]
        if admitted:
            seen.update(admitted)
        else:
            unlisted.append(f"{name} ({raw})")
    missing = [g for g in golden if g not in seen]

    for name in missing:
        print(f"missing from the exports: {name}")
    for name in unlisted:
        print(f"exported but not in the golden list: {name}")
    for name in internal:
        print(f"exported from an internal family: {name}")
    print(f"{len(mangled)} exports, {len(golden)} listed names")
    return 1 if missing or unlisted or internal or not mangled else 0


if __name__ == "__main__":
    sys.exit(main())
