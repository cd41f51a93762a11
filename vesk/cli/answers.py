"""Judging the account server's answers: an observer keeps the answers the
client received, and the words for a refused or failed login or token
check are drawn from them."""

import contextlib

from vesk.cli.reporting import EXIT_FAILURE, CommandError, note
from vesk.cli.request_failures import server_trouble, shown_url, wait_words


class Observer(object):
    """Stands in for requests in the client's namespace while one of its
    calls runs. The client looks `requests` up there at each call, so its
    requests go through this, which passes everything on and keeps the
    answers: the command tells a refusal from a server's failure by them.
    """

    def __init__(self, real):
        self._real = real
        self.answers = []

    @property
    def last(self):
        return self.answers[-1] if self.answers else None

    def __getattr__(self, name):
        return getattr(self._real, name)

    def _kept(self, function, judged_here):
        def call(*args, **kwargs):
            answer = function(*args, **kwargs)
            if judged_here:
                _keep_some_body(answer)
            self.answers.append(answer)
            return answer

        return call

    # The client closes a token check's answer with its body unread; the
    # login reads its own within bounds, and so keeps it.
    @property
    def get(self):
        return self._kept(self._real.get, True)

    @property
    def post(self):
        return self._kept(self._real.post, False)


# The most of a refused token check's body the command reads to judge it.
JUDGED_BODY = 1 << 16


def _keep_some_body(answer):
    """Reads at most JUDGED_BODY bytes of a streamed answer that is not 200
    and keeps them as its body, for _answer_words after the client has
    closed it."""
    if getattr(answer, "status_code", 200) == 200 or getattr(answer, "_content", None) is not False:
        return
    body = b""
    try:
        for piece in answer.iter_content(4096):
            body += piece
            if len(body) >= JUDGED_BODY:
                break
    except Exception:  # noqa: B902 - judged by what did arrive
        pass
    answer._content = body[:JUDGED_BODY]
    answer._content_consumed = True


def _body(answer):
    """The body of an answer as far as it can still be had; b"" when not."""
    try:
        return answer.content or b""
    except Exception:  # noqa: B902 - closed unread, or cut off
        return b""


@contextlib.contextmanager
def observing(client, observer):
    real = client.requests
    client.requests = observer
    try:
        yield observer
    finally:
        client.requests = real


def _answer_words(answer):
    """(the status as words, the server's message or None, whether the body
    is JSON) of an HTTP answer."""
    from http.client import responses

    code = answer.status_code
    words = "{} {}".format(code, responses.get(code, "")).strip()
    try:
        body = answer.json()
    except Exception:  # noqa: B902 - any undecodable body
        empty = not _body(answer).strip()
        return words, None, empty
    message = body.get("message") if isinstance(body, dict) else None
    if message is not None:
        message = " ".join(str(message).split())[:200]
    return words, message, True


def judge_refusal(answer, url):
    """(refused, words) for a token check the client did not accept: a
    refusal of the token (401, 403 from the account server), or no
    verdict (a server or gateway error, a proxy's page, a busy server)."""
    if answer is None:
        return True, "not accepted by the account server"
    words, message, json_body = _answer_words(answer)
    said = ": {}".format(message) if message else ""
    code = answer.status_code
    if code in (401, 403) and json_body:
        return True, "refused by the account server ({}: {})".format(
            words, message or "expired or revoked")
    if not json_body:
        return False, ("the answer from {} was {} with a page that is not the account "
                       "server's JSON (a proxy or gateway in between?)".format(url, words))
    if code == 429:
        return False, "the account server at {} is busy ({}{}); try again later".format(
            url, words, said)
    if code >= 500:
        return False, "the account server at {} failed ({}{})".format(url, words, said)
    return False, ("the account server at {} answered {}{}, which is no verdict on the "
                   "token (is TALVERO_API_URL the account server?)".format(url, words, said))


def log_in(client, email, password):
    """One login through the client's own fetch_token, which writes the
    tokens file; CommandError when the server refuses or cannot be asked."""
    url = shown_url(str(client.TALVERO_API_URL))
    note("config", "logging in at {}/auth/login{}".format(url, wait_words()))
    observer = Observer(client.requests)
    try:
        with observing(client, observer):
            client.fetch_token(email, password)
    except Exception as exc:
        raise CommandError(_login_failure(observer.last, url, exc), EXIT_FAILURE)


def _login_failure(answer, url, exc):
    """The words for a login that failed with `exc` after `answer` (None
    when none came): a refusal, or a failure to ask, which --no-verify
    gets around."""
    unverified = "nothing written (--no-verify stores the credentials without logging in)"
    if answer is None:
        return "{}; {}".format(server_trouble(exc, url), unverified)
    words, message, json_body = _answer_words(answer)
    if not json_body:
        return ("the answer from {} was {} with a page that is not the account server's "
                "JSON (a proxy or gateway in between?); {}".format(url, words, unverified))
    code = answer.status_code
    if code == 429 or code >= 500:
        return "the account server at {} could not take the login ({}{}); {}".format(
            url, words, ": " + message if message else "", unverified)
    if code == 200:
        return "{}; {}".format(server_trouble(exc, url), unverified)
    if 300 <= code < 400:
        # The client follows no redirect; its own words name where it led.
        message = " ".join(str(exc).split())[:300]
    return "the account server at {} refused the login: {}; nothing written".format(
        url, message or words)
