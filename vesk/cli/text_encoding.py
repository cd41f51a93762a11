"""The encoding of the files the client reads, shared by what reads them
and what writes to the terminal."""

import io


def default_encoding():
    # The encoding open() uses without one: the client reads the files so.
    return io.TextIOWrapper(io.BytesIO()).encoding
