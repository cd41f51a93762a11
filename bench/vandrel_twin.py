"""Plain-Python twin of vesk.tracking.lite_extensions.vandrel.

The peer benchmark (bench/peer_benchmark.py) measures the native module
against this module as it is, and against this module compiled by Cython.
It is written as the idiomatic Python module the native one stands in for:
the same imports in the same order, the same constants, functions and
exception, and the same behaviour on the paths the benchmark measures. The
benchmark copies it into a folder of its own as `vandrel.py`, so that every
peer is imported under the same name.

Not part of the package: nothing imports it but the benchmark.
"""

from functools import wraps
import os
import sys
import requests
import configparser
from pathlib import Path
from vesk.tracking.exceptions import MlflowException, TarnelException
from vesk.tracking.utils import env
from vesk.utils import cyan_print, red_print
from vesk.tracking.lite_extensions.urls import TRACKING_URI, TALVERO_API_URL

_EXPERIMENT_ID_ENV_VAR = "MLFLOW_EXPERIMENT_ID"
_RUN_ID_ENV_VAR = "MLFLOW_RUN_ID"

HOME = Path.home()
SECRET_FILE = os.path.join(HOME, Path(".talvero/secret.file"))
TOKENS_FILE = os.path.join(HOME, Path(".talvero/tokens.file"))


def create_secret_file_guide():
    cyan_print(
        "couldn't locate your credentials, please configure by typing "
        "`vesk config` in a terminal"
    )


class LoginError(Exception):
    pass


def get_host_uri():
    return TRACKING_URI


def get_secret_config():
    config = configparser.ConfigParser()
    if not os.path.isfile(SECRET_FILE):
        create_secret_file_guide()
        sys.exit(1)
    config.read(SECRET_FILE)
    return config


def _timeout_seconds(value, part):
    try:
        seconds = float(part)
    except ValueError:
        seconds = float("nan")
    if not 0.0 < seconds < float("inf"):
        raise ValueError(
            "TALVERO_HTTP_TIMEOUT must be a positive finite number of seconds, two of "
            "them as CONNECT,READ, or 'none', not %r" % value
        )
    return seconds


def _request_options():
    # TALVERO_HTTP_TIMEOUT, read at each request: unset or empty means
    # (10, 60) seconds, "none" no time-out; else one number or CONNECT,READ.
    value = os.environ.get("TALVERO_HTTP_TIMEOUT")
    if not value:
        return {"timeout": (10.0, 60.0)}
    if value.strip().lower() == "none":
        return {}
    parts = value.split(",", 1)
    if len(parts) == 1:
        return {"timeout": _timeout_seconds(value, value)}
    return {"timeout": tuple(_timeout_seconds(value, part) for part in parts)}


def _stored_token(value):
    # Doubling "%" lets the parser's interpolation give back the token as sent.
    if value is None:
        return value
    return str(value).replace("%", "%%")


def _write_tokens_file(config):
    # Written whole to a new file in the target's folder, synced, then renamed
    # over the target, so that a reader never sees half a file.
    import tempfile

    target = os.path.realpath(TOKENS_FILE)
    fd, temporary = tempfile.mkstemp(
        dir=os.path.dirname(target), prefix=".tokens.", suffix=".tmp"
    )
    try:
        with open(fd, "w") as file:
            config.write(file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def fetch_token(email, password):
    query = requests.post(
        str(TALVERO_API_URL) + "/auth/login",
        data={"email": email, "password": password},
        **_request_options()
    )
    if query.status_code != 200:
        raise LoginError(query.json()["message"])
    config = configparser.ConfigParser()
    config["TOKENS"] = {
        "access_token": _stored_token(query.json()["access_token"]),
        "refresh_token": _stored_token(query.json()["refresh_token"]),
    }
    _write_tokens_file(config)
    return config["TOKENS"]["access_token"]


def expired_token():
    ftoken = configparser.ConfigParser()
    ftoken.read(TOKENS_FILE)
    token = ftoken["TOKENS"]["access_token"]
    query = requests.get(
        str(TALVERO_API_URL) + "/auth/authenticate",
        headers={"authorization": "Bearer " + str(token)},
        **_request_options()
    )
    return query.status_code != 200


def get_token():
    config = get_secret_config()
    email = config["secret"]["email"]
    password = config["secret"]["password"]
    if not os.path.exists(TOKENS_FILE) or expired_token():
        return fetch_token(email, password)
    ftoken = configparser.ConfigParser()
    ftoken.read(TOKENS_FILE)
    return ftoken["TOKENS"]["access_token"]


def catch_tarnel_exception(func):
    @wraps(func)
    def wrapper(*args, **kwargs):
        try:
            return func(*args, **kwargs)
        except MlflowException as e:
            raise e

    return wrapper


def _get_experiment_id():
    return env.get_env(_EXPERIMENT_ID_ENV_VAR)


def _get_run_id():
    return env.get_env(_RUN_ID_ENV_VAR)


def _runid_exists():
    return _RUN_ID_ENV_VAR in os.environ
