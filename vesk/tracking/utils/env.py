"""Access to the process environment."""

import os


def get_env(name):
    """Return the value of the environment variable `name`, or None if unset.

    The environment is read at each call, so a change made with
    ``os.environ`` is seen by the next call. An empty value is returned as
    the empty string, not as None.
    """
    return os.environ.get(name)
