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

class LoginError(Exception): ...

def create_secret_file_guide() -> None: ...
def get_host_uri() -> str: ...
def get_secret_config() -> configparser.ConfigParser: ...
def fetch_token(email: str, password: str) -> str: ...
def expired_token() -> bool: ...
def get_token() -> str: ...
def catch_tarnel_exception(func: _F, /) -> _F: ...
def _get_experiment_id() -> Any: ...
def _get_run_id() -> Any: ...
def _runid_exists() -> bool: ...
