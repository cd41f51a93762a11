"""Decorated callables at module level, found again by pickle (and so by
multiprocessing) as module + qualified name."""

from vesk.tracking.exceptions import MlflowException
from vesk.tracking.lite_extensions.vandrel import catch_tarnel_exception


@catch_tarnel_exception
def square(x):
    return x * x


@catch_tarnel_exception
def fail(message):
    raise MlflowException(message, error_code="SAMPLE")


class Holder:
    @catch_tarnel_exception
    def method(self, x):
        return x + 1
