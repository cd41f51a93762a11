"""Words for the requests to the account server: how long the client
waits, and what went wrong with a request that failed."""

import os

TIMEOUT_VARIABLE = "TALVERO_HTTP_TIMEOUT"
INSECURE_VARIABLE = "TALVERO_INSECURE_TRANSPORT"


def shown_url(url):
    """`url` as the command may print it: whatever stands before the last
    '@' of its authority (a user name and password) replaced, as the client
    cuts it out of its own refusal."""
    import re

    return re.sub(r"^(\s*[A-Za-z][A-Za-z0-9+.\-]*://)?[^/?#]*@", r"\1***@", url, count=1)


def _wait_limits():
    """(connect, read) seconds the client waits, as it reads
    TALVERO_HTTP_TIMEOUT: None for no limit, () for a value it refuses
    (the request then fails before anything is sent)."""
    import math

    value = os.environ.get(TIMEOUT_VARIABLE, "")
    if not value:
        return 10.0, 60.0
    if value.strip().lower() == "none":
        return None
    try:
        numbers = [float(part) for part in value.split(",")]
    except ValueError:
        return ()
    if len(numbers) > 2 or not all(math.isfinite(n) and n > 0 for n in numbers):
        return ()
    return (numbers[0], numbers[-1])


def _seconds(value):
    return "{:g} s".format(value)


def wait_words():
    limits = _wait_limits()
    if limits is None:
        return " (no time-out: {}=none)".format(TIMEOUT_VARIABLE)
    if not limits:
        return ""
    return " (up to {} to connect, {} for the answer)".format(*map(_seconds, limits))


def _proxy_for(url):
    """The proxy requests uses for `url`, without its user and password;
    None when it goes direct."""
    try:
        from urllib.parse import urlsplit

        import requests

        proxies = requests.utils.get_environ_proxies(url)
        proxy = requests.utils.select_proxy(url, proxies)
        if not proxy:
            return None
        parts = urlsplit(proxy if "://" in proxy else "http://" + proxy)
        host = parts.hostname or ""
        if ":" in host:
            host = "[{}]".format(host)
        port = ":{}".format(parts.port) if parts.port else ""
        return "{}://{}{}".format(parts.scheme, host, port)
    except Exception:  # noqa: B902 - only words depend on it
        return None


def _reason(exc):
    """The innermost cause of a failed request, in its own words, without
    the repr of urllib3's objects and the errno."""
    import re

    seen = set()
    while id(exc) not in seen:
        seen.add(id(exc))
        inner = getattr(exc, "reason", None)
        if not isinstance(inner, BaseException):
            inner = next((a for a in reversed(exc.args) if isinstance(a, BaseException)), None)
        if inner is None:
            # urllib3 2 chains the socket's error instead of holding it.
            inner = exc.__cause__
        if inner is None:
            break
        exc = inner
    text = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
    text = " ".join(str(text).split())
    text = re.sub(r"^<[^>]*>: ", "", text)
    text = re.sub(r"^\w+\(host=[^)]*\): ", "", text)
    text = re.sub(r"^Failed to establish a new connection: ", "", text)
    text = re.sub(r"^\[Errno -?\d+\] ", "", text)
    text = re.sub(r"^\[SSL: [A-Z0-9_]+\] ", "", text)
    text = re.sub(r" \(_ssl\.c:\d+\)$", "", text)
    return text or type(exc).__name__


def server_trouble(exc, url):
    """One line for a request that failed: what went wrong, the URL, and
    the proxy where one is used."""
    import requests

    errors = requests.exceptions
    proxy = _proxy_for(url)
    via = " through the proxy {}".format(proxy) if proxy else ""
    limits = _wait_limits() or (None, None)
    if isinstance(exc, ValueError) and TIMEOUT_VARIABLE in str(exc):
        return str(exc)
    if isinstance(exc, errors.InvalidURL) and "TALVERO_API_URL" in str(exc):
        # The client refused the URL before sending anything.
        if INSECURE_VARIABLE in str(exc):
            return ("refused to send the password or the token to {} in clear text: it is "
                    "plain http to another machine (use https, or set {}=1 where the "
                    "network is trusted)".format(url, INSECURE_VARIABLE))
        return ("TALVERO_API_URL holds a user name or password before its host ({}): the "
                "credentials come from the secret file only; remove the part up to "
                "'@'".format(url))
    if isinstance(exc, errors.ConnectTimeout):
        within = " within {}".format(_seconds(limits[0])) if limits[0] else ""
        return ("cannot reach the account server at {}{}: no connection{} "
                "({} sets the wait)".format(url, via, within, TIMEOUT_VARIABLE))
    if isinstance(exc, errors.Timeout):
        within = " within {}".format(_seconds(limits[1])) if limits[1] else ""
        return ("the account server at {}{} did not answer{} ({} sets the "
                "wait)".format(url, via, within, TIMEOUT_VARIABLE))
    if isinstance(exc, errors.ProxyError):
        return "cannot reach the account server at {}{}: the proxy failed: {}".format(
            url, via, _reason(exc))
    if isinstance(exc, errors.SSLError):
        reason = _reason(exc)
        hint = (" (a private certificate authority goes in REQUESTS_CA_BUNDLE)"
                if "certificate" in reason else "")
        return "cannot reach the account server at {}{}: TLS failed: {}{}".format(
            url, via, reason, hint)
    if isinstance(exc, errors.ConnectionError):
        return "cannot reach the account server at {}{}: {}".format(url, via, _reason(exc))
    return "the exchange with the account server at {}{} failed: {}: {}".format(
        url, via, type(exc).__name__, _reason(exc))
