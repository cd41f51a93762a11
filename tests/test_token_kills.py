"""Logins SIGKILLed at random moments (tools/kill_logins.py), as batch
schedulers and the OOM killer end training jobs: the tokens file is never
torn; written unnamed, the new file leaves almost never a temporary file
behind (the named way left one in about a fifth of the kills); and what
killed writers left is gone after a login once it is old enough."""

import os
import shutil
import tempfile
import time
import unittest

from tests import support
from tests.token_fixtures import EMAIL, PASSWORD, unnamed_files, vandrel
import kernel_refusals  # noqa: E402 - tools/, on the path through tests.support
import kill_logins  # noqa: E402


class KilledLoginTest(unittest.TestCase):
    def kill_logins(self, kills, seed, refuse=()):
        home = tempfile.mkdtemp(prefix="vesk-home-")
        self.addCleanup(shutil.rmtree, home, True)
        report = kill_logins.run(kills=kills, seed=seed, parent=home, refuse=refuse,
                                 env=support.child_environment(home), keep=True)
        self.assertEqual(report["torn"], [])
        self.assertEqual(report["died_otherwise"], [])
        # Each kill waits for its logger's first login to begin, and its delay
        # scales with the time a login takes here: on a loaded machine too,
        # the kills land inside logins, some after a whole one.
        self.assertGreaterEqual(report["kills_inside_login"], kills * 3 // 4, report)
        self.assertGreater(report["kills_after_a_login"], 0, report)
        return report

    def test_written_unnamed(self):
        # 40 kills: the named way would leave about 9 files, rarely 2 or fewer.
        report = self.kill_logins(40, seed=14)
        if not all(unnamed_files(report["folder"])):
            self.skipTest("no unnamed files here: the named way is tested below")
        # A kill leaves a file only between the link and the rename.
        self.assertLessEqual(report["leftovers"], 2, report)

    @unittest.skipUnless(kernel_refusals.supported(), "refusals need seccomp on x86_64 or aarch64")
    def test_named_way_and_cleanup(self):
        report = self.kill_logins(25, seed=15, refuse=["unnamed-files"])
        folder = report["folder"]
        leftovers = [n for n in os.listdir(folder) if kill_logins.TEMPORARY.match(n)]
        self.assertEqual(len(leftovers), report["leftovers"])
        young = os.path.join(folder, ".tokens.young123.tmp")
        with open(young, "w"):
            pass
        for name in leftovers:
            when = time.time() - 11 * 60
            os.utime(os.path.join(folder, name), (when, when))
        with support.rebound(vandrel, "TOKENS_FILE", os.path.join(folder, "tokens.file")), \
                kill_logins.AccountServer({EMAIL: PASSWORD}) as server, \
                support.rebound(vandrel, "TALVERO_API_URL", server.url):
            vandrel.fetch_token(EMAIL, PASSWORD)
        self.assertEqual(sorted(os.listdir(folder)), [".tokens.young123.tmp", "tokens.file"])


if __name__ == "__main__":
    unittest.main()
