"""The account and run helpers of vesk: an access token of the account
server in one call (get_token), the tracking server's URL, and the
exception-catching decorator.

Importing opens no file and sends no request. HOME is read once, at import:
SECRET_FILE and TOKENS_FILE are ~/.talvero/secret.file and
~/.talvero/tokens.file under it. TRACKING_URI and TALVERO_API_URL come from
the urls module (TALVERO_TRACKING_URL and TALVERO_API_URL, read once).
The requests to the account server wait 10 s to connect and 60 s for the
answer unless TALVERO_HTTP_TIMEOUT, read at each request, says otherwise;
requests' own variables (HTTPS_PROXY, NO_PROXY, REQUESTS_CA_BUNDLE) apply.
"""

import configparser as configparser
import os as os
import sys as sys
from functools import wraps as wraps
from pathlib import Path as Path
from typing import Any, Callable, TypeVar

import requests as requests
from vesk.tracking.exceptions import MlflowException as MlflowException
from vesk.tracking.exceptions import TarnelException as TarnelException
from vesk.tracking.utils import env as env
from vesk.utils import cyan_print as cyan_print
from vesk.utils import red_print as red_print


_F = TypeVar("_F", bound=Callable[..., Any])

TRACKING_URI: str
TALVERO_API_URL: str
_EXPERIMENT_ID_ENV_VAR: str
_RUN_ID_ENV_VAR: str
HOME: Path
SECRET_FILE: str
TOKENS_FILE: str

class LoginError(Exception):
    """The account server refused the login, raised by fetch_token (and so
    by get_token). Its one argument is the server's message for an answer
    other than 200, or says why: a redirect (not followed; the status and
    the Location are named), an answer longer than 1 MiB, or a token that
    cannot be stored.
    """

def create_secret_file_guide() -> None:
    """Print, through vesk.utils.cyan_print, that the credentials are missing
    and that `vesk config` stores them."""

def get_host_uri() -> str:
    """The tracking server's base URL, TRACKING_URI: TALVERO_TRACKING_URL at
    the first import, else https://tracking.vesk.io."""

def get_secret_config() -> configparser.ConfigParser:
    """SECRET_FILE (~/.talvero/secret.file, written by `vesk config`) read by
    a new ConfigParser: section [secret], keys email and password.

    Without a regular file there, prints how to make one
    (create_secret_file_guide) and raises SystemExit with status 1. A
    malformed file raises configparser's error; one that cannot be opened
    reads as empty.
    """

def fetch_token(email: str, password: str) -> str:
    """Log in at TALVERO_API_URL + "/auth/login" and return the access token.

    On success the access and refresh tokens replace TOKENS_FILE
    (~/.talvero/tokens.file, mode 0600) whole; on any failure it is left as
    it was. Raises LoginError when the server refuses the login (also for a
    redirect, or an answer over 1 MiB); requests.exceptions.ConnectTimeout
    or ReadTimeout when it does not answer in time (10 s to connect, 60 s
    for the whole answer; TALVERO_HTTP_TIMEOUT sets them, and a value it
    cannot read is a ValueError before anything is sent); requests' other
    exceptions when it cannot be reached; ValueError for an answer that is
    not JSON; OSError when the tokens file cannot be written.
    """

def expired_token() -> bool:
    """Whether the account server no longer accepts the access token cached
    in TOKENS_FILE: True for any status but 200 (a redirect is not followed),
    False for 200.

    Sends the token as a bearer token to TALVERO_API_URL +
    "/auth/authenticate". Raises KeyError, before any request, when the
    tokens file is missing or has no [TOKENS] access_token (a FIFO, a device
    or a file over 1 MiB reads as missing), configparser's error or
    UnicodeDecodeError when it is malformed, naming the line but never its
    text; requests' exceptions when the server cannot
    be reached or does not answer in time (TALVERO_HTTP_TIMEOUT, as for
    fetch_token).
    """

def get_token() -> str:
    """A usable access token: the one cached in TOKENS_FILE while the account
    server accepts it (expired_token), else one from a fresh login
    (fetch_token) with the email and password of SECRET_FILE.

    Without a secret file, prints how to make one (`vesk config`) and raises
    SystemExit with status 1. A tokens file that gives no access token
    (empty, malformed, not a regular file, over 1 MiB) is replaced by a
    login. Raises KeyError for a secret file without [secret] email or
    password, configparser's error or UnicodeDecodeError for a malformed one
    (naming the line, never its text), LoginError when the login is refused, and
    requests' exceptions (ConnectTimeout, ReadTimeout: TALVERO_HTTP_TIMEOUT)
    when the server cannot be reached or does not answer in time.
    """

def catch_tarnel_exception(func: _F, /) -> _F:
    """Decorator: a wrapper that calls func and hands back its result and its
    exceptions unchanged (an MlflowException is caught and raised again as
    the same object). It carries func's __name__, __qualname__, __module__,
    __doc__, __annotations__ and __dict__, and __wrapped__ is func, so
    inspect.signature shows func's signature.
    """

def _get_experiment_id() -> Any:
    """MLFLOW_EXPERIMENT_ID, through env.get_env, at each call."""

def _get_run_id() -> Any:
    """MLFLOW_RUN_ID, through env.get_env, at each call."""

def _runid_exists() -> bool:
    """Whether MLFLOW_RUN_ID is set (in os.environ), even to empty."""
