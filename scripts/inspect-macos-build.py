#!/usr/bin/env python3
"""Checks a finished macOS cross build (the macos preset's folder) without a Mac.

usage: inspect-macos-build.py BUILD_DIR SDK_DIR

Prints one line per check ("ok", "FAIL", or ".." for figures) and exits 1 when
any check failed. Run by scripts/check-macos after the build.
"""
import json
import os
import plistlib
import re
import shlex
import subprocess
import sys
import tempfile

OBJDUMP = "llvm-objdump-14"
NM = "llvm-nm-14"
MINOS = "26.0"
SYSTEM_PREFIXES = ("/System/Library/Frameworks/", "/usr/lib/")

# Each executable of the bundle, and the frameworks it must load.
EXECUTABLES = {
    "Vantrel": [],
    "vantrel-status": ["AppKit"],
    "vantrel-source-extractor": ["PDFKit", "AppKit"],
}

failures = 0


def report(ok, what, detail=""):
    global failures
    print(f"  {'ok  ' if ok else 'FAIL'}  {what}")
    if detail and not ok:
        for line in detail.rstrip().splitlines():
            print(f"        {line}")
    if not ok:
        failures += 1


def run(argv, cwd=None):
    return subprocess.run(argv, cwd=cwd, capture_output=True, text=True)


def check_bundle(bundle):
    print("== the development bundle")
    try:
        with open(os.path.join(bundle, "Contents", "Info.plist"), "rb") as f:
            info = plistlib.load(f)
    except (OSError, plistlib.InvalidFileException) as error:
        report(False, f"Info.plist: {error}")
        return
    expected = {
        "CFBundleExecutable": "Vantrel",
        "CFBundlePackageType": "APPL",
        "LSMinimumSystemVersion": MINOS,
        "LSUIElement": True,
    }
    wrong = [f"{key} is {info.get(key)!r}, not {value!r}" for key, value in expected.items()
             if info.get(key) != value]
    identifier = info.get("CFBundleIdentifier", "")
    # Ours, and marked as a development bundle, so it is never taken for Vantrel.
    if not identifier.startswith("dev.vantrel-companions.") or "development" not in identifier:
        wrong.append(f"CFBundleIdentifier {identifier!r} is not a development identifier of ours")
    report(not wrong, f"Info.plist ({identifier})", "\n".join(wrong))
    for name in EXECUTABLES:
        path = os.path.join(bundle, "Contents", "MacOS", name)
        report(os.path.isfile(path) and os.access(path, os.X_OK), f"Contents/MacOS/{name}")


def short_name(library):
    """The name llvm-nm gives a library: AppKit, libSystem, libc++."""
    framework = re.search(r"/Frameworks/(\w+)\.framework/", library)
    if framework:
        return framework.group(1)
    return re.sub(r"(\.[A-Za-z0-9]+)*\.dylib$", "", library.rsplit("/", 1)[-1])


def load_commands(headers):
    return re.findall(r"^\s*cmd (LC_\w+)", headers, re.MULTILINE)


def check_executable(path, frameworks):
    name = os.path.basename(path)
    print(f"== {name}")
    headers = run([OBJDUMP, "--macho", "--private-headers", path]).stdout
    header = re.search(r"^(MH_MAGIC_64)\s+(\w+)\s+\w+\s+\w+\s+(\w+)\s+\d+\s+\d+\s+(.*)$",
                       headers, re.MULTILINE)
    report(header is not None and header.group(2) == "ARM64" and header.group(3) == "EXECUTE"
           and "TWOLEVEL" in header.group(4),
           "Mach-O 64-bit arm64 executable, two-level namespace",
           header.group(0) if header else "no Mach-O header")
    build = re.search(r"cmd LC_BUILD_VERSION.*?platform (\w+).*?sdk (\S+).*?minos (\S+)", headers,
                      re.DOTALL)
    report(build is not None and build.group(1).lower() in ("1", "macos") and build.group(3) == MINOS,
           f"LC_BUILD_VERSION macOS, minos {MINOS}",
           f"platform {build.group(1)}, sdk {build.group(2)}, minos {build.group(3)}"
           if build else "no LC_BUILD_VERSION")
    commands = load_commands(headers)
    if build:
        print(f"  ..    platform {build.group(1)}, sdk {build.group(2)}, minos {build.group(3)}")
    report("LC_CODE_SIGNATURE" in commands, "LC_CODE_SIGNATURE (signed ad hoc by the linker)")

    used = run([OBJDUMP, "--macho", "--dylibs-used", path]).stdout.splitlines()[1:]
    libraries = [line.strip().split(" (")[0] for line in used if line.strip()]
    foreign = [lib for lib in libraries if not lib.startswith(SYSTEM_PREFIXES)]
    report(bool(libraries) and not foreign, "only system libraries", "\n".join(foreign))
    short = {short_name(lib): lib for lib in libraries}
    missing = [framework for framework in frameworks if framework not in short]
    if frameworks:
        report(not missing, f"loads {', '.join(frameworks)}", "missing: " + ", ".join(missing))

    undefined = run([NM, "-m", "-u", path]).stdout.splitlines()
    per_library = {}
    unbound = []
    for line in undefined:
        bound = re.search(r"\(from (\S+)\)\s*$", line)
        if bound and bound.group(1) in short:
            per_library[bound.group(1)] = per_library.get(bound.group(1), 0) + 1
        else:
            unbound.append(line.strip())
    report(bool(undefined) and not unbound,
           f"all {len(undefined)} undefined symbols bound to a loaded library",
           "\n".join(unbound[:20]))

    print(f"  ..    size {os.path.getsize(path)} bytes")
    print(f"  ..    load commands: {' '.join(commands)}")
    for library in libraries:
        print(f"  ..    {per_library.get(short_name(library), 0):4d} undefined from {library}")


def compile_command(build, source_suffix):
    with open(os.path.join(build, "compile_commands.json")) as f:
        for entry in json.load(f):
            if entry["file"].endswith(source_suffix):
                return entry
    raise SystemExit(f"no compile command for {source_suffix}")


def retarget(argv, source, obj):
    """The argument list with its source and object replaced."""
    out = []
    skip = False
    for arg in argv:
        if skip:
            skip = False
            continue
        if arg in ("-o", "-c"):
            out += [arg, obj if arg == "-o" else source]
            skip = True
        else:
            out.append(arg)
    return out


def check_sources(build, sdk):
    """The macOS build compiled exactly its own sources, PDFKit from the SDK."""
    print("== sources")
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    bad = []
    for entry in entries:
        source = entry["file"]
        if "/platform/linux/" in source or "/tests/" in source:
            bad.append(f"{source}: a Linux or test source in the macOS build")
        if source.endswith(".mm") and "-fobjc-arc" not in entry["command"]:
            bad.append(f"{source}: compiled without ARC")
    report(not bad, f"{len(entries)} sources: no Linux or test source, every .mm with ARC",
           "\n".join(bad))
    pdf = compile_command(build, "PdfTextPdfKit.mm")
    obj = os.path.relpath(os.path.join(pdf["directory"], shlex.split(pdf["command"])[
        shlex.split(pdf["command"]).index("-o") + 1]), build)
    deps = run(["ninja", "-C", build, "-t", "deps", obj]).stdout
    header = os.path.join(sdk, "System/Library/Frameworks/PDFKit.framework/Headers/PDFDocument.h")
    report(os.path.realpath(header) in {os.path.realpath(p.strip()) for p in deps.splitlines()},
           "PdfTextPdfKit.mm compiled against the SDK's own PDFKit headers")


def check_canaries(build):
    """The checks can fail: a wrong program is refused where a right one passes."""
    with tempfile.TemporaryDirectory(prefix="check-macos-") as work:
        try_canaries(build, work)


def try_canaries(build, work):
    print("== canaries (the control must pass, the canary must be refused)")
    application = compile_command(build, "platform/macos/Application.mm")
    selector = {
        "control": "void f() { [[NSStatusBar systemStatusBar] thickness]; }",
        "canary": "void f() { [[NSStatusBar systemStatusBar] vantrelUndeclaredSelector]; }",
    }
    outcomes = {}
    for kind, code in selector.items():
        source = os.path.join(work, f"selector-{kind}.mm")
        with open(source, "w") as f:
            f.write("#import <AppKit/AppKit.h>\n" + code + "\n")
        argv = retarget(shlex.split(application["command"]), source, source + ".o")
        outcomes[kind] = run(argv, cwd=application["directory"]).returncode == 0
    report(outcomes["control"] and not outcomes["canary"],
           "an undeclared AppKit selector does not compile")

    main = compile_command(build, "source-extractor/main.cpp")
    main_obj = shlex.split(main["command"])[shlex.split(main["command"]).index("-o") + 1]
    commands = run(["ninja", "-C", build, "-t", "commands",
                    "source-extractor/vantrel-source-extractor"]).stdout.strip().splitlines()
    if not commands:
        report(False, "the extractor's link line", "ninja gave none")
        return
    link = commands[-1].removeprefix(": && ").removesuffix(" && :")
    symbol = {
        "control": 'extern "C" int getpid(); int main() { return getpid() == 0; }',
        "canary": 'extern "C" int vantrelNoLibraryExportsThis(); '
                  'int main() { return vantrelNoLibraryExportsThis(); }',
    }
    for kind, code in symbol.items():
        source = os.path.join(work, f"symbol-{kind}.cpp")
        with open(source, "w") as f:
            f.write(code + "\n")
        obj = source + ".o"
        compiled = run(retarget(shlex.split(main["command"]), source, obj), cwd=main["directory"])
        argv = shlex.split(link)
        argv = [obj if a == main_obj else a for a in argv]
        argv[argv.index("-o") + 1] = os.path.join(work, f"symbol-{kind}")
        outcomes[kind] = compiled.returncode == 0 and run(argv, cwd=build).returncode == 0
    report(outcomes["control"] and not outcomes["canary"],
           "a symbol that no library exports does not link")


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: inspect-macos-build.py BUILD_DIR SDK_DIR")
    build, sdk = (os.path.abspath(a) for a in sys.argv[1:])
    bundle = os.path.join(build, "Vantrel.app")
    check_bundle(bundle)
    check_sources(build, sdk)
    for name, frameworks in EXECUTABLES.items():
        path = os.path.join(bundle, "Contents", "MacOS", name)
        if os.path.isfile(path):
            check_executable(path, frameworks)
    check_canaries(build)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
