"""ldd check of an installed wheel: every shared object of the kolta
distribution (the module, the engine, the sign-in service kolta-server, the
libraries auditwheel put in kolta.libs) must find each dependency inside site-packages or among the
system's base libraries; a missing one fails.

    python scripts/check_wheel_links.py SITE_PACKAGES
"""

from __future__ import annotations

import glob
import os
import re
import subprocess
import sys

# What every Linux system has (the manylinux policies' base set).
BASE_LIBRARIES = {
    "linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libdl.so.2",
    "libpthread.so.0", "librt.so.1", "libstdc++.so.6", "libgcc_s.so.1", "libutil.so.1",
    "libresolv.so.2",  # glibc's resolver, which libpq (kolta-server --db) needs
}
LINE = re.compile(r"^\s*(\S+)(?:\s+=>\s+(.*?))?\s+\(0x[0-9a-f]+\)\s*$|^\s*(\S+)\s+=>\s+not found")
LDD_DEADLINE_S = 60


def shared_objects(site: str) -> list[str]:
    patterns = ["_kolta_module*.so", "libKoltaSdk*.so*", "kolta-server", "kolta.libs/*.so*"]
    found = sorted({p for pattern in patterns for p in glob.glob(os.path.join(site, pattern))})
    for required in ("_kolta_module", "kolta-server"):
        if not any(os.path.basename(p).startswith(required) for p in found):
            raise SystemExit(f"check_wheel_links: no {required} in {site}")
    return found


def check(path: str, site: str) -> list[str]:
    problems = []
    out = subprocess.run(["ldd", path], capture_output=True, text=True, check=True,
                         timeout=LDD_DEADLINE_S).stdout
    for line in out.splitlines():
        if "not found" in line:
            problems.append(f"{os.path.basename(path)}: {line.strip()}")
            continue
        match = LINE.match(line)
        if not match:
            continue
        name, target = match.group(1), match.group(2)
        resolved = os.path.realpath(target) if target else None
        inside = resolved is not None and resolved.startswith(os.path.realpath(site) + os.sep)
        if not inside and os.path.basename(name) not in BASE_LIBRARIES:
            problems.append(f"{os.path.basename(path)}: {name} => {target} "
                            "(outside the wheel, not a base library)")
        else:
            where = "wheel" if inside else "system"
            print(f"  {os.path.basename(path)}: {name} ({where})")
    return problems


def main() -> int:
    site = sys.argv[1]
    problems = [p for path in shared_objects(site) for p in check(path, site)]
    for problem in problems:
        print(f"check_wheel_links: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
