"""How the tokens file is written, and what killed writers leave: the new
file gets a name only after it is synced where the kernel has unnamed files,
the named way is taken where it has not, and a login removes the temporary
files abandoned by earlier ones, and nothing else, never the file of a
writer that still lives. The tests of the tokens file run again in
interpreters whose kernel refuses unnamed files, or links through /proc."""

import json
import os
import re
import errno
import signal
import socket
import stat
import subprocess
import sys
import time
import unittest
from unittest import mock

from tests import support
from tests.token_fixtures import (EMAIL, PASSWORD, FakeRequests, FakeResponse, VandrelCase,
                                  tokens_text, unnamed_files, vandrel)
import kernel_refusals  # noqa: E402 - tools/, on the path through tests.support

TEMPORARY = re.compile(r"\A\.tokens\..*\.tmp\Z", re.S)

# Makes the child's kernel refuse what argv[1] names (comma-separated), or
# says it cannot and ends; the rest of the child's code follows.
REFUSING_PRELUDE = r"""
import sys
sys.path.insert(0, %r)
import kernel_refusals
try:
    kernel_refusals.refuse(*sys.argv.pop(1).split(","))
except OSError as error:
    sys.stdout.write("unsupported: %%s\n" %% error)
    sys.exit(0)
""" % support.TOOLS

LOGIN = r"""
from vesk.tracking.lite_extensions import vandrel
vandrel.TOKENS_FILE, vandrel.TALVERO_API_URL = sys.argv[1], sys.argv[2]
sys.stdout.write(vandrel.fetch_token(sys.argv[3], sys.argv[4]) + "\n")
"""

# A writer that stops itself (SIGSTOP) just before it renames its file over
# the tokens file, after printing the file's name.
STOPPING_WRITER = r"""
import os, signal, sys
real_replace = os.replace
def replace(source, target):
    sys.stdout.write(source + "\n")
    sys.stdout.flush()
    os.kill(os.getpid(), signal.SIGSTOP)
    return real_replace(source, target)
os.replace = replace
""" + LOGIN


def run_refused(testcase, refusals, code, args, home):
    """Runs `code` after REFUSING_PRELUDE in a fresh interpreter; skips the
    test where the kernel cannot refuse."""
    result = support.run_python(REFUSING_PRELUDE + code, home,
                                args=[",".join(refusals)] + list(args), timeout=300)
    if result.stdout.startswith("unsupported:"):
        testcase.skipTest(result.stdout.strip())
    return result


class WriteWayTest(VandrelCase):
    def test_named_only_after_the_sync(self):
        """The temporary files in the folder while os.fsync runs: none where
        the file is written unnamed; one where it is written the named way;
        both, one after the other, where the unnamed file cannot be linked
        (the named way then starts afresh)."""
        made, linked = unnamed_files(self.folder)
        expected = [0] if made and linked else [0, 1] if made else [1]
        seen = []
        real_fsync = os.fsync

        def fsync(fd):
            temporaries = [n for n in self.listing() if TEMPORARY.match(n)]
            seen.append((len(temporaries), stat.S_IMODE(os.fstat(fd).st_mode)))
            return real_fsync(fd)

        self.write(self.tokens_file, "old")
        with mock.patch("os.fsync", fsync):
            token = vandrel.fetch_token(EMAIL, PASSWORD)
        self.assertEqual(seen, [(count, 0o600) for count in expected])
        self.assertRegex(self.read(self.tokens_file),
                         r"\A\[TOKENS\]\naccess_token = %s\nrefresh_token = \S+\n\n\Z" % token)
        self.assertEqual(self.listing(), ["secret.file", "tokens.file"])


class DestinationTest(VandrelCase):
    """What a login may replace, and which links it follows: a regular file
    only (or a missing one), and links only in folders nobody else can
    change; nothing outside such a folder is written."""

    ACCESS = "S3cr3t-access"

    def answer_once(self):
        self.rebind("requests", FakeRequests(FakeResponse(
            200, {"access_token": self.ACCESS, "refresh_token": "S3cr3t-refresh"})))

    @staticmethod
    def kind(path):
        try:
            return stat.S_IFMT(os.lstat(path).st_mode)
        except FileNotFoundError:
            return None

    def test_only_a_regular_file_is_replaced(self):
        elsewhere = os.path.join(self.home, "elsewhere")
        os.mkdir(elsewhere, 0o700)
        opened = []

        def make_socket(path):
            held = socket.socket(socket.AF_UNIX)
            held.bind(path)
            opened.append(held)

        makers = {"nothing": lambda path: None,
                  "file": lambda path: self.write(path, "old"),
                  "directory": os.mkdir, "FIFO": os.mkfifo, "socket": make_socket}
        # (what stands there, the error, its errno; None where the login replaces it)
        rows = [("nothing", None, None), ("file", None, None),
                ("directory", IsADirectoryError, errno.EISDIR),
                ("FIFO", FileExistsError, errno.EEXIST),
                ("socket", FileExistsError, errno.EEXIST)]
        try:
            for through_link in (False, True):
                for what, error, number in rows:
                    with self.subTest(what=what, through_link=through_link):
                        place = os.path.join(elsewhere, "real") if through_link else self.tokens_file
                        if through_link:
                            os.symlink(place, self.tokens_file)
                        makers[what](place)
                        before = self.kind(place)
                        self.answer_once()
                        if error is None:
                            self.assertEqual(vandrel.fetch_token(EMAIL, PASSWORD), self.ACCESS)
                            self.assertEqual(self.read(place), tokens_text(self.ACCESS,
                                                                           "S3cr3t-refresh"))
                        else:
                            with self.assertRaises(OSError) as caught:
                                vandrel.fetch_token(EMAIL, PASSWORD)
                            self.assertIs(type(caught.exception), error)
                            self.assertEqual(caught.exception.errno, number)
                            self.assertEqual(caught.exception.filename, place)
                            said = str(caught.exception)
                            self.assertIn("a %s stands " % what, said)
                            self.assertIn(place, said)
                            self.assertEqual(through_link, self.tokens_file in said.split(": ")[0])
                            self.assertNotIn("S3cr3t", said)
                            self.assertEqual(self.kind(place), before)
                        self.assertEqual(os.path.islink(self.tokens_file), through_link)
                        self.assertEqual(self.listing(), ["secret.file", "tokens.file"])
                        for path in (self.tokens_file, place):
                            if os.path.isdir(path) and not os.path.islink(path):
                                os.rmdir(path)
                            elif os.path.lexists(path):
                                os.remove(path)
        finally:
            for held in opened:
                held.close()

    def test_a_loop_of_links_is_refused(self):
        os.symlink("tokens.file", self.tokens_file)
        self.answer_once()
        with self.assertRaises(OSError) as caught:
            vandrel.fetch_token(EMAIL, PASSWORD)
        self.assertEqual(caught.exception.errno, errno.ELOOP)
        self.assertIn("loop", str(caught.exception))
        self.assertTrue(os.path.islink(self.tokens_file))

    def test_links_followed_only_in_folders_nobody_else_changes(self):
        """A link planted in a folder that others can write, or that another
        user owns, is replaced itself: the file it leads to stays as it was,
        a dangling one is not created. A link of a folder of the user's own
        (mode 0700 or 0755) leads the write, also to a second link, which is
        not followed where its own folder is open. Old temporaries that are
        links are never followed by the cleanup."""
        outside = os.path.join(self.home, "outside.file")
        dangling = os.path.join(self.home, "nothing.here")
        open_folder = os.path.join(self.home, "open")
        os.mkdir(open_folder)
        os.chmod(open_folder, 0o777)
        relay = os.path.join(open_folder, "relay")
        os.symlink(outside, relay)
        nobody = 65534
        # (mode of the folder, its owner, where the link leads, the file written)
        rows = [(0o700, None, outside, outside), (0o755, None, outside, outside),
                (0o700, None, relay, relay),
                (0o777, None, outside, self.tokens_file), (0o770, None, outside, self.tokens_file),
                (0o702, None, outside, self.tokens_file), (0o1777, None, outside, self.tokens_file),
                (0o777, None, dangling, self.tokens_file),
                (0o700, nobody, outside, self.tokens_file),
                (0o700, nobody, dangling, self.tokens_file)]
        for mode, owner, leads_to, written in rows:
            with self.subTest(mode=oct(mode), owner=owner, leads_to=leads_to):
                if owner is not None and os.geteuid() != 0:
                    self.skipTest("giving the folder to another user needs root")
                self.write(outside, "keep")
                if os.path.lexists(relay) and not os.path.islink(relay):
                    os.remove(relay)
                    os.symlink(outside, relay)
                os.symlink(leads_to, self.tokens_file)
                leftover = os.path.join(self.folder, ".tokens.link0000.tmp")
                os.symlink(outside, leftover)
                when = time.time() - 3600
                os.utime(leftover, (when, when), follow_symlinks=False)
                os.chmod(self.folder, mode)
                if owner is not None:
                    os.chown(self.folder, owner, -1)
                try:
                    self.answer_once()
                    self.assertEqual(vandrel.fetch_token(EMAIL, PASSWORD), self.ACCESS)
                finally:
                    os.chown(self.folder, os.geteuid(), -1)
                    os.chmod(self.folder, 0o700)
                self.assertEqual(self.read(written), tokens_text(self.ACCESS, "S3cr3t-refresh"))
                self.assertFalse(os.path.islink(written))
                self.assertEqual(stat.S_IMODE(os.stat(written).st_mode), 0o600)
                self.assertEqual(os.path.islink(self.tokens_file), written != self.tokens_file)
                if written != outside:
                    self.assertEqual(self.read(outside), "keep")
                self.assertFalse(os.path.lexists(dangling))
                self.assertTrue(os.path.islink(leftover))
                self.assertEqual(self.listing(), [".tokens.link0000.tmp", "secret.file",
                                                  "tokens.file"])
                os.remove(leftover)
                os.remove(self.tokens_file)


class LeftoverTest(VandrelCase):
    @staticmethod
    def age(path, minutes):
        when = time.time() - minutes * 60
        os.utime(path, (when, when), follow_symlinks=False)

    def test_only_abandoned_temporaries_removed(self):
        outside = os.path.join(self.home, "outside.file")
        self.write(outside, "keep")
        self.age(outside, 60)
        rows = [  # (name, what, age in minutes, removed by the next login)
            (".tokens.abcd1234.tmp", "file", 11, True),
            (".tokens.x.tmp", "file", 60 * 24 * 365, True),
            (".tokens..tmp", "file", 11, True),
            (".tokens.a.b.tmp", "empty file", 11, True),
            (".tokens.young123.tmp", "file", 9, False),
            (".tokens.future12.tmp", "file", -60, False),
            ("tokens.abcd1234.tmp", "file", 11, False),
            (".tokens.abcd1234.tmp~", "file", 11, False),
            (".tokens.abcd1234", "file", 11, False),
            (".tokens.tmp", "file", 11, False),
            (".TOKENS.abcd1234.tmp", "file", 11, False),
            (".tokens.folder00.tmp", "folder", 11, False),
            (".tokens.fifo0000.tmp", "fifo", 11, False),
            (".tokens.link0000.tmp", "link", 11, False),
            (".tokens.dangling.tmp", "dangling link", 11, False),
        ]
        for name, what, minutes, _ in rows:
            path = os.path.join(self.folder, name)
            if what in ("file", "empty file"):
                self.write(path, "[TOKENS]\n" if what == "file" else "")
            elif what == "folder":
                os.mkdir(path)
                self.write(os.path.join(path, ".tokens.inside00.tmp"), "x")
                self.age(os.path.join(path, ".tokens.inside00.tmp"), minutes)
            elif what == "fifo":
                os.mkfifo(path)
            else:
                os.symlink(outside if what == "link" else outside + ".gone", path)
            self.age(path, minutes)

        token = vandrel.fetch_token(EMAIL, PASSWORD)
        kept = sorted(["secret.file", "tokens.file"] +
                      [name for name, _, _, removed in rows if not removed])
        self.assertEqual(self.listing(), kept)
        self.assertEqual(self.read(outside), "keep")
        self.assertEqual(self.listing(os.path.join(self.folder, ".tokens.folder00.tmp")),
                         [".tokens.inside00.tmp"])
        self.assertIn(token, self.read(self.tokens_file))

    def test_leftovers_of_the_folder_written_to(self):
        # Through a symbolic link, the file is written in its target's folder:
        # that is where leftovers lie, and the only folder looked at.
        elsewhere = os.path.join(self.home, "elsewhere")
        os.mkdir(elsewhere)
        os.symlink(os.path.join(elsewhere, "real.file"), self.tokens_file)
        for folder in (elsewhere, self.folder):
            self.write(os.path.join(folder, ".tokens.old12345.tmp"), "x")
            self.age(os.path.join(folder, ".tokens.old12345.tmp"), 11)
        vandrel.fetch_token(EMAIL, PASSWORD)
        self.assertEqual(self.listing(elsewhere), ["real.file"])
        self.assertEqual(self.listing(), [".tokens.old12345.tmp", "secret.file", "tokens.file"])

    def test_live_writers_file_kept_killed_writers_removed(self):
        """A writer stopped just before its rename keeps its file however old
        it looks (a suspended job, a file server's clock behind); once the
        writer is killed, the next login removes the file."""
        for fate in ("continued", "killed"):
            with self.subTest(fate=fate):
                writer = subprocess.Popen(
                    [sys.executable, "-c", STOPPING_WRITER, self.tokens_file,
                     self.server.url, EMAIL, PASSWORD], env=support.child_environment(self.home),
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    universal_newlines=True)
                try:
                    temporary = writer.stdout.readline().strip()
                    if not temporary:
                        self.fail("the writer did not get to its rename:\n" + writer.stderr.read())
                    _, status = os.waitpid(writer.pid, os.WUNTRACED)
                    self.assertTrue(os.WIFSTOPPED(status))
                    self.age(temporary, 60)
                    mine = vandrel.fetch_token(EMAIL, PASSWORD)
                    self.assertTrue(os.path.isfile(temporary))
                    if fate == "continued":
                        os.kill(writer.pid, signal.SIGCONT)
                        out, err = writer.communicate(timeout=60)
                        self.assertEqual(writer.returncode, 0, err)
                        self.assertIn("access_token = %s\n" % out.strip(),
                                      self.read(self.tokens_file))
                    else:
                        writer.kill()
                        writer.wait()
                        self.assertIn("access_token = %s\n" % mine, self.read(self.tokens_file))
                        vandrel.fetch_token(EMAIL, PASSWORD)
                finally:
                    if writer.poll() is None:
                        writer.kill()
                        writer.wait()
                    writer.stdout.close()
                    writer.stderr.close()
                self.assertEqual(self.listing(), ["secret.file", "tokens.file"])

    def test_unremovable_leftover_never_fails_the_login(self):
        leftover = os.path.join(self.folder, ".tokens.stays000.tmp")
        self.write(leftover, "x")
        self.age(leftover, 11)
        result = run_refused(self, ["unlinkat"], LOGIN,
                             [self.tokens_file, self.server.url, EMAIL, PASSWORD], self.home)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("access_token = %s\n" % result.stdout.strip(), self.read(self.tokens_file))
        self.assertEqual(self.listing(), [".tokens.stays000.tmp", "secret.file", "tokens.file"])


@unittest.skipUnless(kernel_refusals.supported(), "refusals need seccomp on x86_64 or aarch64")
class RefusedKernelTest(unittest.TestCase):
    """The tests of the tokens file where the kernel refuses unnamed files
    (the named way from the start) or their link through /proc (the named
    way after the unnamed file is dropped)."""

    TESTS = ["tests.test_tokens.FetchTokenTest." + name for name in (
        "test_exact_tokens_file", "test_token_values_round_trip",
        "test_private_file_replaced_whole", "test_symlink_stays_a_link",
        "test_failed_write_keeps_the_old_file", "test_descriptor_closed_once_when_open_fails",
        "test_unwritable_places", "test_read_only_folder")] + [
        "tests.test_tokens.LeakTest.test_fetch_token_paths",
        "tests.test_token_writes.WriteWayTest", "tests.test_token_writes.DestinationTest",
        "tests.test_token_writes.LeftoverTest.test_live_writers_file_kept_killed_writers_removed"]
    RUN_TESTS = r"""
import json, unittest
result = unittest.main(module=None, argv=["refused"] + sys.argv[1:], exit=False).result
sys.stdout.write(json.dumps({"run": result.testsRun,
                             "skipped": [test.id() for test, _ in result.skipped]}) + "\n")
sys.exit(not result.wasSuccessful())
"""

    def test_tokens_file_tests_where_the_kernel_refuses(self):
        count = unittest.defaultTestLoader.loadTestsFromNames(self.TESTS).countTestCases()
        for refusal in ("unnamed-files", "proc-links"):
            with self.subTest(refusal=refusal), support.temporary_home() as home:
                result = run_refused(self, [refusal], self.RUN_TESTS, self.TESTS, home)
                self.assertEqual(result.returncode, 0, result.stderr)
                report = json.loads(result.stdout.strip().splitlines()[-1])
                # 3.12.1 leaves tests skipped by a decorator out of the run count.
                self.assertGreaterEqual(report["run"] + len(report["skipped"]), count)
                self.assertNotIn(
                    "tests.test_token_writes.WriteWayTest.test_named_only_after_the_sync",
                    report["skipped"])


if __name__ == "__main__":
    unittest.main()
