"""Bad input for the token functions, run in a separate interpreter so that a
crash fails this test rather than ending the whole run."""

import json
import os
import subprocess
import sys
import unittest

from tests import support

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "token_fuzz_child.py")
CASES = 200
WELL_FORMED_ROUNDS = 10


class TokenFuzzTest(unittest.TestCase):
    def test_random_files_and_answers(self):
        with support.temporary_home() as home:
            result = subprocess.run(
                [sys.executable, CHILD, str(CASES), "20240501", str(WELL_FORMED_ROUNDS)],
                cwd=home, env=support.child_environment(home), stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                timeout=600)
        self.assertEqual(result.returncode, 0,
                         "exit status %d\n%s" % (result.returncode, result.stderr))
        summary = json.loads(result.stdout.strip().splitlines()[-1])
        self.assertGreaterEqual(sum(summary["outcomes"].values()), CASES // 2)
        # Whatever the random cases reached, every run got past the files:
        # tokens handed out, checked, logins accepted and refused, each
        # result checked in the child.
        self.assertEqual(summary["well_formed"], {
            "get_token:ok": WELL_FORMED_ROUNDS, "expired_token:ok": WELL_FORMED_ROUNDS,
            "fetch_token:ok": WELL_FORMED_ROUNDS, "fetch_token:LoginError": WELL_FORMED_ROUNDS})


if __name__ == "__main__":
    unittest.main()
