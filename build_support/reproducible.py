"""Re-packs an sdist or a wheel so that its bytes depend on its contents
alone: the tools write the build time, the umask's modes, the owner and the
order of the file system into the archives, and their versions differ per
interpreter. What is written instead:

- every time is SOURCE_DATE_EPOCH (see source_date_epoch());
- entries in sorted order (a wheel's .dist-info last, RECORD last of all);
- modes 0755 for folders and for files with any execute bit, 0644 for the
  rest; owner 0/0 without names in the sdist;
- the sdist's gzip header holds that time and no file name;
- a wheel's RECORD is computed afresh from what it holds;
- the sdist gets a file SOURCE_DATE_EPOCH holding that time, for the
  builds from it (file times do not survive every unpacking).

The build backend (backend.py) runs this on what it builds; the wheelhouse
again on what auditwheel writes.

Usage: python3 build_support/reproducible.py [--source DIR] ARCHIVE...
re-packs each .tar.gz or .whl in place, the time taken as for DIR (default:
the project this file is part of); with --print-epoch instead of ARCHIVE...
prints that time."""

import base64
import gzip
import hashlib
import io
import os
import subprocess
import sys
import tarfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# A zip file cannot hold an earlier time.
ZIP_EPOCH = 315532800  # 1980-01-01T00:00:00Z
# At the top of an sdist: the time it was made with.
STAMP = "SOURCE_DATE_EPOCH"


def _git_commit_time(source):
    try:
        top = subprocess.run(["git", "-C", source, "rev-parse", "--show-toplevel"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             universal_newlines=True, timeout=60)
        # Only the checkout's own commit: an unpacked sdist may lie in
        # another project's checkout.
        if top.returncode != 0 or os.path.realpath(top.stdout.strip()) != os.path.realpath(source):
            return None
        stamp = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               universal_newlines=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return None
    text = stamp.stdout.strip()
    return int(text) if stamp.returncode == 0 and text.isdigit() else None


def _seconds(text, origin):
    text = text.strip()
    if not text.isdigit():
        raise ValueError("%s is not a number of seconds: %r" % (origin, text))
    return int(text)


def source_date_epoch(source=ROOT):
    """The time of the sources: SOURCE_DATE_EPOCH when set; in an unpacked
    sdist the one its stamp holds; in a git checkout the time of its last
    commit; else the first time a zip file can hold."""
    given = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
    if given:
        return _seconds(given, "SOURCE_DATE_EPOCH")
    stamp = os.path.join(source, STAMP)
    if os.path.isfile(stamp):
        with open(stamp, encoding="ascii") as handle:
            return _seconds(handle.read(), stamp)
    found = _git_commit_time(source)
    return ZIP_EPOCH if found is None else found


def _mode(executable):
    return 0o755 if executable else 0o644


def _replace(path, data):
    # Written beside and renamed: a reader never sees half an archive.
    temporary = path + ".repacking"
    with open(temporary, "wb") as handle:
        handle.write(data)
    os.replace(temporary, path)


def repack_sdist(path, epoch):
    members = []
    with tarfile.open(path, "r:gz") as archive:
        for member in archive.getmembers():
            if not (member.isfile() or member.isdir()):
                raise ValueError("%s: %s is neither a file nor a folder" % (path, member.name))
            data = archive.extractfile(member).read() if member.isfile() else None
            members.append((member.name.rstrip("/"), member.isdir(), member.mode, data))
    tops = {name.split("/", 1)[0] for name, _, _, _ in members}
    if len(tops) != 1:
        raise ValueError("%s has no single top folder: %r" % (path, sorted(tops)))
    stamp = tops.pop() + "/" + STAMP
    members = [member for member in members if member[0] != stamp]
    members.append((stamp, False, 0o644, ("%d\n" % epoch).encode("ascii")))
    buffer = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", fileobj=buffer, mtime=epoch,
                       compresslevel=9) as compressed:
        with tarfile.open(fileobj=compressed, mode="w", format=tarfile.PAX_FORMAT) as archive:
            for name, is_dir, mode, data in sorted(members, key=lambda member: member[0]):
                info = tarfile.TarInfo(name)
                info.type = tarfile.DIRTYPE if is_dir else tarfile.REGTYPE
                info.mode = _mode(is_dir or mode & 0o111)
                info.uid = info.gid = 0
                info.uname = info.gname = ""
                info.mtime = epoch
                info.size = 0 if is_dir else len(data)
                archive.addfile(info, None if is_dir else io.BytesIO(data))
    _replace(path, buffer.getvalue())


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "%s,sha256=%s,%d" % (name, digest.decode("ascii"), len(data))


def _wheel_order(name):
    # The metadata after the package, as the wheel format recommends.
    top = name.split("/", 1)[0]
    return (top.endswith(".dist-info"), name)


def repack_wheel(path, epoch):
    files = []
    record = None
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            if info.filename.endswith("/"):
                continue
            top, _, rest = info.filename.partition("/")
            if top.endswith(".dist-info") and rest in ("RECORD", "RECORD.jws", "RECORD.p7s"):
                # Made afresh below; a signature would not match the result.
                if rest == "RECORD":
                    record = info.filename
                continue
            files.append((info.filename, (info.external_attr >> 16) & 0o111,
                          archive.read(info)))
    if record is None:
        raise ValueError("%s has no RECORD" % path)
    files.sort(key=lambda entry: _wheel_order(entry[0]))
    lines = [_record_line(name, data) for name, _, data in files] + [record + ",,"]
    files.append((record, 0, ("\n".join(lines) + "\n").encode("utf-8")))
    stamp = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, executable, data in files:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.create_system = 3  # Unix: the modes below are read
            info.external_attr = (0o100000 | _mode(executable)) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    _replace(path, buffer.getvalue())


def repack(path, epoch):
    if path.endswith(".whl"):
        repack_wheel(path, epoch)
    elif path.endswith(".tar.gz"):
        repack_sdist(path, epoch)
    else:
        raise ValueError("neither a wheel nor an sdist: %s" % path)


def main(argv):
    source = ROOT
    if argv[:1] == ["--source"] and len(argv) >= 2:
        source, argv = argv[1], argv[2:]
    if argv == ["--print-epoch"]:
        print(source_date_epoch(source))
        return
    if not argv or any(arg.startswith("-") for arg in argv):
        raise SystemExit(__doc__)
    epoch = source_date_epoch(source)
    for path in argv:
        repack(path, epoch)


if __name__ == "__main__":
    main(sys.argv[1:])
