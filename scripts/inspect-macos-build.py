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
import hashlib
import shlex
import struct
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

# The code signature as the linker writes it: an embedded-signature super blob
# whose code directory hashes every page of the file before the signature.
LC_CODE_SIGNATURE = 0x1D
SUPER_BLOB_MAGIC = 0xFADE0CC0
CODE_DIRECTORY_MAGIC = 0xFADE0C02
CODE_DIRECTORY_SLOT = 0
MIN_CODE_DIRECTORY_VERSION = 0x20400  # with the executable segment fields
HASH_TYPES = {2: ("sha256", 32)}
# What the agent's process activity leaves in its executable: the selectors it
# sends and the reason it gives.
ACTIVITY_STRINGS = ("beginActivityWithOptions:reason:", "endActivity:",
                    "Monitoring Vantrel's local API")
PAGE_SIZE_LOG2 = 12

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
    # The agent probes 127.0.0.1 over plain HTTP, which App Transport Security
    # allows only with this key.
    if info.get("NSAppTransportSecurity", {}).get("NSAllowsLocalNetworking") is not True:
        wrong.append("NSAppTransportSecurity has no NSAllowsLocalNetworking = true")
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


def code_signature(data):
    """The (offset, size) of LC_CODE_SIGNATURE's data in a 64-bit Mach-O, or None."""
    if len(data) < 32 or struct.unpack_from("<I", data, 0)[0] != 0xFEEDFACF:
        return None
    count, = struct.unpack_from("<I", data, 16)
    offset = 32
    for _ in range(count):
        if offset + 8 > len(data):
            return None
        command, size = struct.unpack_from("<II", data, offset)
        if command == LC_CODE_SIGNATURE and offset + 16 <= len(data):
            return struct.unpack_from("<II", data, offset + 8)
        if size < 8:
            return None
        offset += size
    return None


def code_directory(data, start, end):
    """The code directory's offset in the super blob at data[start:end]; problems as text."""
    if end > len(data) or end - start < 12:
        return None, ["the signature lies beyond the end of the file"]
    magic, length, count = struct.unpack_from(">III", data, start)
    if magic != SUPER_BLOB_MAGIC or length > end - start or 12 + 8 * count > length:
        return None, [f"super blob magic {magic:#x}, length {length}, {count} blobs: not an "
                      "embedded signature"]
    for index in range(count):
        slot, offset = struct.unpack_from(">II", data, start + 12 + 8 * index)
        if slot == CODE_DIRECTORY_SLOT and offset + 88 <= length:
            return start + offset, []
    return None, ["no code directory in the signature"]


def signature_problems(data, identifier):
    """What is wrong with the executable's code signature: an empty list when its
    code directory is well formed, names the identifier and hashes every page
    of the file up to the signature as it is."""
    signature = code_signature(data)
    if signature is None:
        return ["no LC_CODE_SIGNATURE"]
    start, size = signature
    cd, problems = code_directory(data, start, start + size)
    if cd is None:
        return problems
    (magic, length, version, _flags, hash_offset, ident_offset, _special, slots,
     limit) = struct.unpack_from(">IIIIIIIII", data, cd)
    hash_size, hash_type, _platform, page_log2 = struct.unpack_from(">BBBB", data, cd + 36)
    if magic != CODE_DIRECTORY_MAGIC or version < MIN_CODE_DIRECTORY_VERSION:
        return [f"code directory magic {magic:#x}, version {version:#x}"]
    if HASH_TYPES.get(hash_type, (None, 0))[1] != hash_size or page_log2 != PAGE_SIZE_LOG2:
        return [f"hash type {hash_type}, hash size {hash_size}, page size 2^{page_log2}"]
    if limit != start:
        problems.append(f"code limit {limit}, but the signature starts at {start}")
    page = 1 << page_log2
    if slots != (limit + page - 1) // page or hash_offset + slots * hash_size > length:
        problems.append(f"{slots} page hashes for a code limit of {limit}")
        return problems
    name_end = data.find(b"\0", cd + ident_offset, cd + length)
    name = data[cd + ident_offset:name_end].decode("utf-8", "replace") if name_end > 0 else None
    if name != identifier:
        problems.append(f"identifier {name!r}, not {identifier!r}")
    algorithm = HASH_TYPES[hash_type][0]
    for index in range(slots):
        stored = data[cd + hash_offset + index * hash_size:][:hash_size]
        page_bytes = data[index * page:min((index + 1) * page, limit)]
        if hashlib.new(algorithm, page_bytes).digest() != stored:
            problems.append(f"page {index} (bytes {index * page} to "
                            f"{min((index + 1) * page, limit) - 1}) does not match its hash")
    return problems


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
    with open(path, "rb") as f:
        problems = signature_problems(f.read(), name)
    report(not problems, "code signature: a code directory naming the executable, "
           "every page hash matching the file", "\n".join(problems[:20]))

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

    if name == "vantrel-status":
        with open(path, "rb") as f:
            data = f.read()
        absent = [text for text in ACTIVITY_STRINGS if text.encode() + b"\0" not in data]
        report(not absent, "holds a process activity against App Nap",
               "not in the executable: " + ", ".join(absent))

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
        try_signature_canary(build)


def try_signature_canary(build):
    """One changed byte before the signature, at the start of the code, in its
    middle or right before the signature, fails the check the original passes."""
    with open(os.path.join(build, "Vantrel.app", "Contents", "MacOS", "vantrel-status"), "rb") as f:
        original = f.read()
    signature = code_signature(original)
    if signature is None:
        report(False, "a changed byte before the signature fails the signature check",
               "the agent has no signature to change")
        return
    header_end = 32 + struct.unpack_from("<I", original, 20)[0]
    refused = []
    for offset in (header_end, signature[0] // 2, signature[0] - 1):
        changed = bytearray(original)
        changed[offset] ^= 0x01
        refused.append(bool(signature_problems(bytes(changed), "vantrel-status")))
    report(not signature_problems(original, "vantrel-status") and all(refused),
           "a changed byte before the signature fails the signature check",
           f"control passes: {not signature_problems(original, 'vantrel-status')}, "
           f"canaries refused: {refused}")


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
