"""The README's shell steps, run as scripts from a temporary home, so that
what it tells users stays true: the first round, and the offline install on
pyenv's 3.6."""

import os
import re
import shlex
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

from tests import support

README = os.path.join(support.ROOT, "README.md")
has_readme = unittest.skipUnless(os.path.isfile(README), "the tree under test has no README.md")


def section(title):
    """The text under the heading `## title`, up to the next such heading."""
    with open(README, encoding="utf-8") as handle:
        text = handle.read()
    found = re.search(r"^## %s\n(.*?)(?=^## |\Z)" % re.escape(title), text, re.M | re.S)
    if found is None:
        raise AssertionError("README.md has no section %r" % title)
    return found.group(1)


def blocks(text, language):
    """The code blocks of `language` in `text`, in order."""
    return re.findall(r"^```%s\n(.*?)^```$" % language, text, re.M | re.S)


def shims(folder, **commands):
    """Scripts named after the keys, each running its command line with the
    arguments it gets; returns `folder`."""
    for name, argv in commands.items():
        path = os.path.join(folder, name)
        with open(path, "w") as handle:
            handle.write('#!/bin/sh\nexec %s "$@"\n' % " ".join(shlex.quote(a) for a in argv))
        os.chmod(path, 0o755)
    return folder


def listening(url):
    host, port = url.rsplit("/", 1)[1].split(":")
    try:
        socket.create_connection((host, int(port)), timeout=5).close()
    except OSError:
        return False
    return True


def stop_server(pid_file):
    try:
        with open(pid_file) as handle:
            os.kill(int(handle.read()), 15)
    except (OSError, ValueError):
        pass


@has_readme
class FirstRoundTest(unittest.TestCase):
    def test_the_round_runs_as_written(self):
        text = section("A first round")
        script = "\n".join(blocks(text, "sh"))
        self.assertIn("vesk config", script)
        sample = blocks(text, "text")[0].splitlines()
        with support.temporary_home() as home:
            tools = tempfile.mkdtemp(prefix="vesk-shims-")
            self.addCleanup(shutil.rmtree, tools)
            # `python`, `python3` and `vesk` as an active venv gives them: the
            # interpreter under test and its vesk (installed or the checkout's).
            shims(tools, python=[sys.executable], python3=[sys.executable],
                  vesk=support.vesk_command())
            pid_file = os.path.join(home, "account-server.pid")
            self.addCleanup(stop_server, pid_file)
            env = support.child_environment(home, PATH=tools + os.pathsep + os.environ["PATH"])
            done = subprocess.run(["bash", "-e", "-c", script], cwd=support.ROOT, env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            lines = done.stdout.splitlines()
            self.assertEqual(len(lines), 2 + len(sample) + 1 + 2, lines)

            login = re.match(r"^logged in to (http://127\.0\.0\.1:\d+) as alice@example\.org$",
                             lines[0])
            self.assertTrue(login, lines[0])
            url = login.group(1)
            folder = os.path.join(home, ".talvero")
            self.assertEqual(lines[1], "credentials written to %s"
                             % os.path.join(folder, "secret.file"))
            status = lines[2:2 + len(sample)]
            self.assertEqual([row.split(":", 1)[0] for row in status],
                             [row.split(":", 1)[0] for row in sample])
            for shown, real in zip(sample, status):
                if shown.startswith(("account:", "token:", "TRACKING_URI:")):
                    self.assertEqual(real, shown)
            self.assertIn("TALVERO_API_URL: " + url, status)
            # What config and status say before they wait for the server.
            wait = "(up to 10 s to connect, 60 s for the answer)"
            self.assertEqual(done.stderr.splitlines(), [
                "vesk config: logging in at %s/auth/login %s" % (url, wait),
                "vesk status: checking the cached token at %s/auth/authenticate %s"
                % (url, wait)])
            self.assertRegex(lines[-3], r"^[A-Za-z0-9_-]{20,}$")  # the token
            self.assertEqual(lines[-2:], [
                "removed %s (the cached token)" % os.path.join(folder, "tokens.file"),
                "kept %s (the credentials; vesk logout --forget removes them)"
                % os.path.join(folder, "secret.file")])

            self.assertEqual(os.listdir(folder), ["secret.file"])
            self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(folder, "secret.file")).st_mode),
                             0o600)
            deadline = time.time() + 60
            while listening(url) and time.time() < deadline:
                time.sleep(0.1)
            self.assertFalse(listening(url), "the server still runs after the round")


@has_readme
@support.needs_checkout("the other documents are the checkout's")
class LinksTest(unittest.TestCase):
    def test_links_reach_their_files_and_headings(self):
        """Every relative link of the README and of DEVELOPING.md names a
        file of the checkout, and every #anchor a heading of its file."""
        def anchors(path):
            with open(path, encoding="utf-8") as handle:
                text = re.sub(r"^```.*?^```$", "", handle.read(), flags=re.M | re.S)
            titles = re.findall(r"^#+ (.*)$", text, re.M)
            return {re.sub(r"[^\w\- ]", "", t.lower()).replace(" ", "-") for t in titles}

        documents = [README, os.path.join(support.ROOT, "DEVELOPING.md")]
        with open(README, encoding="utf-8") as handle:
            self.assertIn("](DEVELOPING.md)", handle.read())
        for document in documents:
            with open(document, encoding="utf-8") as handle:
                text = re.sub(r"^```.*?^```$", "", handle.read(), flags=re.M | re.S)
            links = re.findall(r"\]\(([^)\s]+)\)", text)
            self.assertTrue(links, document)
            for link in links:
                if re.match(r"^[a-z]+:", link):
                    continue
                target, _, anchor = link.partition("#")
                path = os.path.join(support.ROOT, target) if target else document
                with self.subTest(document=os.path.basename(document), link=link):
                    self.assertTrue(os.path.isfile(path))
                    if anchor:
                        self.assertIn(anchor, anchors(path))


PYENV_ROOT = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")


@has_readme
@support.needs_checkout("installs the checkout")
@unittest.skipUnless(sys.version_info[:2] == (3, 6), "the steps for 3.6 are run by a 3.6")
@unittest.skipUnless(os.path.isfile(os.path.join(PYENV_ROOT, "versions", "3.6.15", "bin",
                                                 "python")), "needs pyenv's 3.6.15")
class OfflineInstall36Test(unittest.TestCase):
    def test_steps_end_in_a_working_package(self):
        steps = [block for block in blocks(section("Install"), "sh") if "3.6.15" in block]
        self.assertEqual(len(steps), 1, steps)
        with support.temporary_home() as home:
            # pyenv found through PYENV_ROOT: the home has no ~/.pyenv.
            # Nothing from the checkout or the suite on the search path: what
            # imports must come from the venv.
            env = support.child_environment(home, PYTHONPATH=None, PYENV_ROOT=PYENV_ROOT)
            done = subprocess.run(["bash", "-e", "-c", steps[0]], cwd=support.ROOT, env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, universal_newlines=True,
                                  timeout=600)
            self.assertEqual(done.returncode, 0, done.stdout[-3000:])

            venv = os.path.join(home, ".venvs", "vesk36")
            found = subprocess.run(
                [os.path.join(venv, "bin", "python"), "-c",
                 "import sys, requests\n"
                 "from vesk.tracking.lite_extensions import vandrel\n"
                 "print('%d.%d' % sys.version_info[:2])\n"
                 "print(vandrel.__file__)"],
                cwd=home, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                universal_newlines=True, timeout=60)
            self.assertEqual(found.returncode, 0, found.stderr)
            version, module = found.stdout.splitlines()
            self.assertEqual(version, "3.6")
            self.assertTrue(support.within(module, venv), module)
            command = subprocess.run(
                [os.path.join(venv, "bin", "vesk"), "status", "--offline"], cwd=home, env=env,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                timeout=60)
            self.assertEqual((command.returncode, command.stderr), (1, ""))
            self.assertIn("not configured", command.stdout)


if __name__ == "__main__":
    unittest.main()
