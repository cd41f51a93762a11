"""Random secret files, tokens files and server answers thrown at get_token,
expired_token and fetch_token; only the documented exceptions may come out.

Run as a program by test_token_fuzz (a crash then fails that test instead of
taking the test run down). Arguments: the number of random cases, the seed
and the number of rounds of well-formed cases. The random cases draw through
hypothesis where it is installed, a seeded random.Random elsewhere; what they
reach depends on the draws and on timing (tokens expire within 10 ms).

The well-formed cases come first, so that every run gets past the files
whatever the random ones reach: files and answers varied at random in form
but valid, each round one case per outcome in WELL_FORMED (a token handed
out from the cache or a login, a token check, a login accepted and one
refused), its result and its requests checked exactly.

Prints a JSON summary of the outcomes on success."""

import collections
import configparser
import json
import os
import random
import shutil
import sys
import tempfile
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))
from account_server import AccountServer  # noqa: E402
from vesk.tracking.lite_extensions import vandrel  # noqa: E402

try:
    import hypothesis
    from hypothesis import strategies
except ImportError:
    hypothesis = None

# What the functions are documented to raise on bad files and bad answers:
# lookups (KeyError), the parser (configparser.Error, TypeError for null
# tokens, UnicodeDecodeError), bad JSON (ValueError, TypeError when the body
# is no object) and refused logins.
DOCUMENTED = (KeyError, TypeError, ValueError, configparser.Error, vandrel.LoginError)
EMAIL, PASSWORD = "a@b.c", "pw"
PIECES = ["[secret]", "[TOKENS]", "[tokens]", "[x]", "email = a@b.c", "password = pw",
          "EMAIL=x", "access_token = t", "refresh_token: r", "access_token =", "; note",
          "# note", "\tcontinued", "  indented", "junk", "=", "[", "%", "%%", "%(email)s",
          "%(nothing)s", "%(", "k = v%", "\xe9", "\x00"]
STATUSES = [200, 200, 200, 201, 204, 400, 401, 403, 404, 500]
TEXT_TYPES = ["application/json", "text/plain", "text/html"]
WELL_FORMED = ("get_token:ok", "expired_token:ok", "fetch_token:ok", "fetch_token:LoginError")
TOKEN_ALPHABET = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_."


def random_text(rng, alphabet="ab %()\n\t=:[]#;\\\"'\xe9\u20ac"):
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))


def random_ini(rng):
    lines = [rng.choice(PIECES) if rng.random() < 0.8 else random_text(rng)
             for _ in range(rng.randint(0, 6))]
    data = "\n".join(lines).encode("utf-8")
    if rng.random() < 0.1:
        data += bytes([rng.randint(0x80, 0xff)])
    return data


def random_value(rng, depth=0):
    kind = rng.randint(0, 7 if depth == 0 else 4)
    if kind <= 2:
        return random_text(rng)
    return [None, rng.randint(-5, 10 ** 6), rng.random() * 100, rng.random() < 0.5,
            [random_value(rng, depth + 1)], {"k": random_value(rng, depth + 1)}][kind - 3]


def random_answer(rng):
    status = rng.choice(STATUSES)
    kind = rng.randint(0, 5)
    if kind <= 2:
        body = {}
        for key in ("access_token", "refresh_token", "message", "other"):
            if rng.random() < 0.75:
                body[key] = random_value(rng)
        return status, body, "application/json"
    if kind == 3:
        return status, random_value(rng), "application/json"
    body = bytes(rng.randint(0, 255) for _ in range(rng.randint(0, 8)))
    return status, body, rng.choice(TEXT_TYPES)


def random_token(rng):
    return "".join(rng.choice(TOKEN_ALPHABET) for _ in range(rng.randint(1, 40)))


def well_formed_ini(rng, section, entries):
    """A valid INI file holding `entries` in `section`, in one of the forms
    the parser accepts: key spellings, separators, blanks, comments and
    other sections."""
    lines = []
    if rng.random() < 0.3:
        lines.append(rng.choice(["; note", "# note", ""]))
    if rng.random() < 0.3:
        lines.extend(["[before]", "access_token = x", "email = x"])
    lines.append("[%s]" % section)
    for key, value in entries:
        key = rng.choice([key, key.upper(), key.capitalize()])
        lines.append(key + rng.choice([" = ", "=", ": ", ":", "  =  "]) + value)
        if rng.random() < 0.2:
            lines.append(rng.choice(["; note", "# note", ""]))
    if rng.random() < 0.3:
        lines.append("other = 100%%")  # never looked up, so never interpolated
    if rng.random() < 0.3:
        lines.append("[after]")
    return ("\n".join(lines) + rng.choice(["", "\n", "\n\n"])).encode("utf-8")


def well_formed_login(rng):
    """A login answer that hands out tokens, as (status, body, access, refresh)."""
    access, refresh = random_token(rng), random_token(rng)
    body = {"access_token": access, "refresh_token": refresh}
    if rng.random() < 0.3:
        body["message"] = random_value(rng)
    return 200, body, access, refresh


def plain_token(value):
    return isinstance(value, str) and value != "" and all(
        c.isprintable() and not c.isspace() for c in value)


class Fuzz(object):
    def __init__(self, server, home):
        self.server = server
        self.folder = os.path.join(home, ".talvero")
        os.mkdir(self.folder)
        vandrel.SECRET_FILE = os.path.join(self.folder, "secret.file")
        vandrel.TOKENS_FILE = os.path.join(self.folder, "tokens.file")
        vandrel.TALVERO_API_URL = server.url
        self.outcomes = collections.Counter()

    def write(self, path, data):
        if data is None:
            if os.path.exists(path):
                os.remove(path)
        else:
            with open(path, "wb") as f:
                f.write(data)

    def well_formed_case(self, rng, wanted):
        """One case of the outcome `wanted`: valid files and answers; the
        result, the requests sent and the tokens file checked exactly."""
        secret = well_formed_ini(rng, "secret", [("email", EMAIL), ("password", PASSWORD)])
        self.write(vandrel.SECRET_FILE, secret)
        cached = random_token(rng)
        cached_file = well_formed_ini(rng, "TOKENS", [("access_token", cached),
                                                       ("refresh_token", random_token(rng))])
        logins, checks = self.server.login_requests, self.server.authenticate_requests
        if wanted == "get_token:ok":
            # From the cache, from a login with no cache, or from a login
            # after the check refused the cached token.
            route = rng.choice(["cache", "no cache", "refused"])
            self.write(vandrel.TOKENS_FILE, None if route == "no cache" else cached_file)
            if route != "no cache":
                check = 200 if route == "cache" else rng.choice([401, 403, 500])
                self.server.queue_response("/auth/authenticate", check,
                                           {"message": random_text(rng)})
            status, body, access, refresh = well_formed_login(rng)
            if route != "cache":
                self.server.queue_response("/auth/login", status, body)
            result = vandrel.get_token()
            expected = (cached if route == "cache" else access,
                        0 if route == "cache" else 1, 0 if route == "no cache" else 1)
        elif wanted == "expired_token:ok":
            self.write(vandrel.TOKENS_FILE, cached_file)
            status = rng.choice([200, 200, 201, 204, 401, 403, 500])
            self.server.queue_response("/auth/authenticate", status, random_value(rng))
            result = vandrel.expired_token()
            expected = (status != 200, 0, 1)
        else:
            self.write(vandrel.TOKENS_FILE, cached_file if rng.random() < 0.5 else None)
            before = self.read_tokens()
            if wanted == "fetch_token:ok":
                status, body, access, refresh = well_formed_login(rng)
            else:
                message = random_value(rng)
                status = rng.choice([201, 400, 401, 403, 404, 500])
                body = {"message": message, "other": random_value(rng)}
            self.server.queue_response("/auth/login", status, body)
            try:
                result = vandrel.fetch_token(random_text(rng), random_text(rng))
            except vandrel.LoginError as error:
                assert wanted == "fetch_token:LoginError", (wanted, error)
                assert error.args == (message,), (error.args, message)
                assert self.read_tokens() == before, "a refused login changed the tokens file"
                result = None
            expected = (access if wanted == "fetch_token:ok" else None, 1, 0)
        got = (result, self.server.login_requests - logins,
               self.server.authenticate_requests - checks)
        assert got == expected, (wanted, got, expected)
        if expected[1] and result is not None:
            # A login leaves exactly the tokens it was given.
            written = "[TOKENS]\naccess_token = %s\nrefresh_token = %s\n\n" % (access, refresh)
            assert self.read_tokens() == written, (self.read_tokens(), written)
        self.outcomes[wanted] += 1

    def read_tokens(self):
        if not os.path.exists(vandrel.TOKENS_FILE):
            return None
        with open(vandrel.TOKENS_FILE) as f:
            return f.read()

    def one_case(self, rng):
        good_secret = "[secret]\nemail = %s\npassword = %s\n" % (EMAIL, PASSWORD)
        self.write(vandrel.SECRET_FILE,
                   good_secret.encode() if rng.random() < 0.4 else random_ini(rng))
        tokens = rng.random()
        if tokens < 0.25:
            self.write(vandrel.TOKENS_FILE, None)
        elif tokens < 0.6:
            self.write(vandrel.TOKENS_FILE, random_ini(rng))
        elif tokens < 0.7:
            self.write(vandrel.TOKENS_FILE, b"[TOKENS]\naccess_token = t\n")
        # else: the file as the previous case left it, often a login's
        for path in ("/auth/login", "/auth/authenticate"):
            if rng.random() < 0.6:
                status, body, content_type = random_answer(rng)
                self.server.queue_response(path, status, body, content_type)
        choice = rng.randint(0, 3)
        name = ["get_token", "get_token", "expired_token", "fetch_token"][choice]
        try:
            if name == "fetch_token":
                result = vandrel.fetch_token(random_text(rng), random_text(rng))
            else:
                result = getattr(vandrel, name)()
        except DOCUMENTED as error:
            self.outcomes[name + ":" + type(error).__name__] += 1
        else:
            self.outcomes[name + ":ok"] += 1
            self.check_result(name, result)
        leftovers = set(os.listdir(self.folder)) - {"secret.file", "tokens.file"}
        assert not leftovers, "temporary files left: %r" % sorted(leftovers)

    def check_result(self, name, result):
        if name == "expired_token":
            assert result is True or result is False, repr(result)
            return
        assert isinstance(result, str), repr(result)
        if plain_token(result):
            # Whatever the login or the cache handed out reads back the same.
            parser = configparser.ConfigParser()
            parser.read(vandrel.TOKENS_FILE)
            if name == "fetch_token":
                assert parser["TOKENS"]["access_token"] == result, (parser["TOKENS"], result)


def main():
    cases, seed, rounds = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    home = tempfile.mkdtemp(prefix="vesk-fuzz-")
    server = AccountServer({EMAIL: PASSWORD}, token_lifetime=0.01).start()
    try:
        fuzz = Fuzz(server, home)
        rng = random.Random(seed)
        for _ in range(rounds):
            for wanted in WELL_FORMED:
                fuzz.well_formed_case(rng, wanted)
        well_formed, fuzz.outcomes = fuzz.outcomes, collections.Counter()
        if hypothesis is not None:
            settings = hypothesis.settings(
                max_examples=cases, deadline=None, database=None, derandomize=True,
                suppress_health_check=list(hypothesis.HealthCheck))

            @settings
            @hypothesis.given(strategies.randoms(use_true_random=False))
            def run(rng):
                fuzz.one_case(rng)
            run()
            driver = "hypothesis"
        else:
            rng = random.Random(seed)
            for _ in range(cases):
                fuzz.one_case(rng)
            driver = "random"
    except BaseException:
        traceback.print_exc()
        return 1
    finally:
        server.stop()
        shutil.rmtree(home, ignore_errors=True)
    print(json.dumps({"driver": driver, "well_formed": well_formed, "outcomes": fuzz.outcomes}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
