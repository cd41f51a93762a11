"""`make demo`: every step passes, and each row is followed by what its
step printed, with real paths."""

import os
import subprocess
import sys
import unittest

from tests import support


class DemoTest(unittest.TestCase):
    def test_rows_print_right(self):
        with support.temporary_home() as home:
            done = subprocess.run([sys.executable, os.path.join(support.TOOLS, "demo.py")],
                                  cwd=home, env=support.child_environment(home),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=120)
        self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[-1], "demo passed")
        self.assertNotIn("$HOME", done.stdout)
        rows = [line for line in lines[1:-1] if not line.startswith("   printed: ")]
        self.assertTrue(all(row.endswith(" ok") for row in rows), rows)
        self.assertEqual([row.split()[0] for row in rows if row[0].isdigit()],
                         ["1.", "2.", "3.", "4.", "5.", "6."])
        # What a step printed stands under its own row.
        guide = lines.index("   printed: couldn't locate your credentials, please configure "
                            "by typing `vesk config` in a terminal")
        self.assertTrue(lines[guide - 1].startswith("6. get_token(), secret file gone"))
        written = [i for i, line in enumerate(lines) if "printed: credentials written to " in line]
        self.assertEqual(len(written), 2)
        for index in written:
            self.assertIn("vesk config", lines[index - 2])
            self.assertTrue(lines[index].endswith(os.path.join(".talvero", "secret.file"))
                            or "replacing" in lines[index], lines[index])


if __name__ == "__main__":
    unittest.main()
