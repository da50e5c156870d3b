"""Build the release wheels: one abi3 wheel per Linux architecture, for
glibc 2.17 (manylinux2014), with zig's cross toolchain (the `ziglang`
package on PyPI), which links its own libc++ statically and links against
the glibc of the version asked for, whatever the build machine has.

The package's metadata and its pure files (typing stubs, licence) come
from the wheel that the build backend made on this machine; only the
extension module is built again, once per target, and the wheel is tagged
for it. Each wheel is then checked: `auditwheel show` must find exactly
the manylinux_2_17 tag of its architecture (a newer glibc or libstdc++
symbol would move it, and the build fails), and only PyInit_velomap may be
exported.

Usage: wheels.py HOST_WHEEL OUT_DIR [ARCH ...]   (default: x86_64 aarch64)
"""

import base64
import hashlib
import re
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
GLIBC = "2.17"
MODULE = "velomap.abi3.so"
WARNINGS = ["-Wall", "-Wextra", "-Wshadow", "-Wconversion", "-Wsign-conversion", "-Werror"]


def run(*cmd, **kw):
    print("+", " ".join(map(str, cmd)), flush=True)
    return subprocess.run(cmd, check=True, **kw)


def build_module(arch, version, out_dir):
    """Compile and link the extension module for `arch` with zig."""
    out_dir.mkdir(parents=True, exist_ok=True)
    exports = out_dir / "exports.map"
    exports.write_text("{\n  global: PyInit_velomap;\n  local: *;\n};\n")
    sources = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*.cpp"))
    module = out_dir / MODULE
    # The limited API's headers: its types and sizes are the same on the
    # 64-bit Linux targets built here, so this interpreter's headers serve
    # each of them.
    include = sysconfig.get_paths()["include"]
    run(sys.executable, "-m", "ziglang", "c++", "-target", f"{arch}-linux-gnu.{GLIBC}",
        "-std=c++20", "-O2", "-DNDEBUG", "-fPIC", "-fvisibility=hidden",
        "-fvisibility-inlines-hidden", *WARNINGS, f"-ffile-prefix-map={ROOT}/=",
        "-Isrc", "-isystem", include, f'-DVELOMAP_VERSION="{version}"',
        "-shared", "-s", f"-Wl,--version-script={exports}", *sources, "-o", module, cwd=ROOT)
    return module


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def assemble(host_wheel, version, module, arch, out_dir):
    """The host wheel with `module` as its extension and `arch`'s tags."""
    with zipfile.ZipFile(host_wheel) as src:
        names = src.namelist()
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        tags = [f"cp310-abi3-manylinux_2_17_{arch}", f"cp310-abi3-manylinux2014_{arch}"]
        wheel_text = "Wheel-Version: 1.0\nGenerator: velomap tools/wheels.py\nRoot-Is-Purelib: false\n"
        wheel_text += "".join(f"Tag: {t}\n" for t in tags)
        files = {}
        for name in names:
            if name.endswith((".so", "/RECORD", "/WHEEL")):
                continue
            files[name] = src.read(name)
    files[MODULE] = module.read_bytes()
    files[f"{dist_info}/WHEEL"] = wheel_text.encode()
    record = f"{dist_info}/RECORD"
    lines = [record_line(name, data) for name, data in files.items()] + [f"{record},,"]
    files[record] = ("\n".join(lines) + "\n").encode()
    target = out_dir / f"velomap-{version}-cp310-abi3-manylinux_2_17_{arch}.manylinux2014_{arch}.whl"
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as out:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if name == MODULE else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(info, data)
    return target


def exported(module):
    """The names the module's dynamic symbol table defines."""
    from elftools.elf.elffile import ELFFile  # comes with auditwheel

    with open(module, "rb") as f:
        symbols = ELFFile(f).get_section_by_name(".dynsym").iter_symbols()
        return {s.name for s in symbols if s["st_shndx"] != "SHN_UNDEF" and s.name}


def check(wheel, module, arch):
    """auditwheel must see exactly the manylinux_2_17 tag of `arch`, and the
    module must export its entry point alone."""
    if exported(module) != {"PyInit_velomap"}:
        sys.exit(f"{module}: exports {sorted(exported(module))}, not PyInit_velomap alone")
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)], check=True,
                           capture_output=True, text=True).stdout
    found = re.findall(r'platform tag:\s*"([^"]+)"', " ".join(shown.split()))
    if found[:1] != [f"manylinux_2_17_{arch}"]:
        sys.exit(f"{wheel.name}: auditwheel sees {found or shown!r}, not manylinux_2_17_{arch}")
    print(f"{wheel.name}: manylinux_2_17_{arch}")


def main():
    host_wheel, out_dir, *arches = sys.argv[1:]
    arches = arches or ["x86_64", "aarch64"]
    out_dir = Path(out_dir)
    with zipfile.ZipFile(host_wheel) as src:
        metadata = next(src.read(n) for n in src.namelist() if n.endswith(".dist-info/METADATA"))
    version = re.search(rb"^Version: (\S+)$", metadata, re.M).group(1).decode()
    for arch in arches:
        module = build_module(arch, version, ROOT / "build" / "wheels" / arch)
        check(assemble(host_wheel, version, module, arch, out_dir), module, arch)


if __name__ == "__main__":
    main()
