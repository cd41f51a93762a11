"""Exceptions raised by the tracking code of vesk."""


class MlflowException(Exception):
    """Error reported by the tracking client.

    ``catch_tarnel_exception`` catches this class (and its subclasses) and
    re-raises the same instance unchanged.
    """

    def __init__(self, message, error_code=None):
        super().__init__(message)
        self.message = message
        self.error_code = error_code


class TarnelException(Exception):
    """Error reported by the account (API) side of the client.

    Deliberately not a subclass of MlflowException: the exception-catching
    decorator only deals with MlflowException, so this one passes through it
    like any other exception.
    """

    def __init__(self, message, error_code=None):
        super().__init__(message)
        self.message = message
        self.error_code = error_code
