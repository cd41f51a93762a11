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


class TokenFuzzTest(unittest.TestCase):
    def test_random_files_and_answers(self):
        with support.temporary_home() as home:
            result = subprocess.run(
                [sys.executable, CHILD, str(CASES), "20240501"], cwd=home,
                env=support.child_environment(home), stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                timeout=600)
        self.assertEqual(result.returncode, 0,
                         "exit status %d\n%s" % (result.returncode, result.stderr))
        outcomes = json.loads(result.stdout.strip().splitlines()[-1])["outcomes"]
        self.assertGreaterEqual(sum(outcomes.values()), CASES // 2)
        # The cases reach past the files: logins succeed and get refused.
        for wanted in ("get_token:ok", "expired_token:ok", "fetch_token:ok",
                       "fetch_token:LoginError"):
            self.assertIn(wanted, outcomes)


if __name__ == "__main__":
    unittest.main()
