"""Packs what `setup.py install --root STAGE` laid out into a wheel, for
the one interpreter whose setuptools cannot make wheels itself: pyenv's
3.6, whose setuptools 40.6 needs the `wheel` package for bdist_wheel, and
no `wheel` release that runs on 3.6 is at hand offline (Debian's needs 3.7).

Usage: python3 tools/wheelhouse.py SITE TAG OUTDIR
SITE is the stage's site-packages (the package and its .egg-info), TAG the
wheel's tag (e.g. cp36-cp36m-linux_x86_64). Prints the wheel's path."""

import base64
import hashlib
import os
import sys
import zipfile


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "%s,sha256=%s,%d" % (name, digest.decode("ascii"), len(data))


def pack(site, tag, outdir):
    infos = [name for name in os.listdir(site) if name.endswith(".egg-info")]
    if len(infos) != 1:
        raise SystemExit("expected one .egg-info in %s, found %r" % (site, infos))
    egg_info = os.path.join(site, infos[0])
    project, version = infos[0][:-len(".egg-info")].split("-")[:2]
    dist_info = "%s-%s.dist-info" % (project, version)
    files = {}
    for folder, dirs, names in os.walk(site):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__" and
                         os.path.join(folder, d) != egg_info)
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.dirname(path) == site and name.endswith((".egg-info", ".pth")):
                continue
            with open(path, "rb") as handle:
                files[os.path.relpath(path, site)] = handle.read()
    # The metadata: PKG-INFO is METADATA's format already, but for the
    # requirements, which an egg-info keeps in requires.txt. The console
    # scripts come from entry_points.txt, which pip turns into commands.
    with open(os.path.join(egg_info, "PKG-INFO"), encoding="utf-8") as handle:
        first, rest = handle.read().split("\n", 1)
    requires = os.path.join(egg_info, "requires.txt")
    lines = []
    if os.path.exists(requires):
        with open(requires, encoding="utf-8") as handle:
            lines = [line.strip() for line in handle if line.strip()]
    if any(line.startswith("[") for line in lines):
        raise SystemExit("%s: extras and markers are not packed" % requires)
    fields = "".join("Requires-Dist: %s\n" % line for line in lines)
    files[dist_info + "/METADATA"] = (first + "\n" + fields + rest).encode("utf-8")
    for name in ("entry_points.txt", "top_level.txt"):
        path = os.path.join(egg_info, name)
        if os.path.exists(path):
            with open(path, "rb") as handle:
                files[dist_info + "/" + name] = handle.read()
    files[dist_info + "/WHEEL"] = (
        "Wheel-Version: 1.0\nGenerator: vesk tools/wheelhouse.py\n"
        "Root-Is-Purelib: false\nTag: %s\n" % tag).encode("ascii")
    record = dist_info + "/RECORD"
    lines = [record_line(name, data) for name, data in sorted(files.items())]
    lines.append(record + ",,")
    files[record] = ("\n".join(lines) + "\n").encode("utf-8")
    target = os.path.join(outdir, "%s-%s-%s.whl" % (project, version, tag))
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    return target


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    print(pack(*sys.argv[1:]))
