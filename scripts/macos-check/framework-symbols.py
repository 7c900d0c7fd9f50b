#!/usr/bin/env python3
"""Checks that the macOS objects' references into the system frameworks resolve.

usage: framework-symbols.py SDK_DIR FRAMEWORK[,FRAMEWORK...] OBJECT...

Reads the undefined symbols of the objects (llvm-nm -u) and the arm64 macOS
exports of the named frameworks' text-based stubs in SDK_DIR, following their
re-exports (AppKit re-exports Foundation, which re-exports CoreFoundation and
libobjc). Every Objective-C class and runtime symbol the objects use must be
exported there. Symbols of libSystem and libc++ cannot be checked: the SDK
headers come without their stubs. Classes of frameworks absent from SDK_DIR
(PDFKit) are listed as unchecked. Exit status 1 when a symbol is missing.
"""

import subprocess
import sys
from pathlib import Path

import yaml

TARGET = "arm64-macos"


class TbdLoader(yaml.SafeLoader):
    pass


TbdLoader.add_constructor("!tapi-tbd", lambda loader, node: loader.construct_mapping(node, deep=True))


def stub_for(sdk, install_name):
    """The stub file in the SDK copy for an install name, or None."""
    path = Path(install_name)
    if install_name.startswith("/System/Library/Frameworks/"):
        framework = path.parts[4]  # Name.framework
        name = framework[: -len(".framework")]
        candidates = [sdk / "Frameworks" / framework / f"{name}.tbd"]
    else:
        candidates = [sdk / "lib" / (path.stem + ".tbd"), sdk / "lib" / (path.name + ".tbd")]
    return next((c for c in candidates if c.is_file()), None)


def for_target(section):
    return TARGET in section.get("targets", [])


def exports_of(sdk, stub, seen):
    """Symbols exported for the target by a stub and everything it re-exports."""
    if stub in seen:
        return set()
    seen.add(stub)
    symbols = set()
    with open(stub, encoding="utf-8") as f:
        documents = [d for d in yaml.load_all(f, Loader=TbdLoader) if d]
    for document in documents:
        for key in ("exports", "reexports"):
            for section in document.get(key, []) or []:
                if not for_target(section):
                    continue
                for name in section.get("symbols", []) + section.get("weak-symbols", []):
                    symbols.add(name)
                for name in section.get("objc-classes", []):
                    symbols.add(f"_OBJC_CLASS_$_{name}")
                    symbols.add(f"_OBJC_METACLASS_$_{name}")
                for name in section.get("objc-eh-types", []):
                    symbols.add(f"_OBJC_EHTYPE_$_{name}")
        for section in document.get("reexported-libraries", []) or []:
            if not for_target(section):
                continue
            for library in section.get("libraries", []):
                child = stub_for(sdk, library)
                if child is not None:
                    symbols |= exports_of(sdk, child, seen)
    return symbols


def is_framework_symbol(symbol):
    prefixes = ("_OBJC_CLASS_$_", "_OBJC_METACLASS_$_", "_OBJC_EHTYPE_$_", "_objc_", "__objc_",
                "_NS", "___NS", "_CF", "___CF", "_kCF")
    return symbol.startswith(prefixes)


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    sdk = Path(sys.argv[1])
    frameworks = sys.argv[2].split(",")
    objects = sys.argv[3:]

    exported = set()
    seen = set()
    for framework in frameworks:
        stub = sdk / "Frameworks" / f"{framework}.framework" / f"{framework}.tbd"
        if not stub.is_file():
            continue
        exported |= exports_of(sdk, stub, seen)

    undefined = set()
    for obj in objects:
        out = subprocess.run(["llvm-nm", "-u", obj], check=True, capture_output=True, text=True)
        undefined |= {line.strip() for line in out.stdout.splitlines() if line.strip()}

    framework_symbols = sorted(s for s in undefined if is_framework_symbol(s))
    missing = [s for s in framework_symbols if s not in exported]
    # Classes declared only by our PDFKit declarations: no stub to check them against.
    unchecked = [s for s in missing if s.startswith(("_OBJC_CLASS_$_PDF", "_OBJC_METACLASS_$_PDF"))]
    missing = [s for s in missing if s not in unchecked]
    others = len(undefined) - len(framework_symbols)

    print(f"    {len(framework_symbols) - len(missing) - len(unchecked)} framework symbols resolve "
          f"in {', '.join(frameworks)} (arm64-macos)")
    for symbol in unchecked:
        print(f"    unchecked (no stub in the SDK copy): {symbol}")
    print(f"    {others} libSystem/libc++ symbols not checkable here")
    for symbol in missing:
        print(f"    MISSING: {symbol}")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
