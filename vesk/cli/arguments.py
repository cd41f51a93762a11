"""The command line of the vesk command: its commands, options and help."""

import argparse

import vesk


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vesk",
        description="Client utilities for the vesk tracking service.",
    )
    parser.add_argument(
        "--version", action="version", version="%(prog)s " + vesk.__version__
    )
    # `required=` for sub-parsers only exists from 3.7 on; a missing command
    # is handled in main().
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    config = commands.add_parser(
        "config",
        help="check the account e-mail address and password, then store them",
        description=(
            "Log in once at the account server (TALVERO_API_URL) with the "
            "e-mail address and password, then store them in "
            "~/.talvero/secret.file (readable by the owner only); the token "
            "of that login becomes the cached token. Values not given as "
            "options are asked for on the terminal, again after a value it "
            "refuses; the password is not echoed. A refused login stores "
            "nothing. Where the secret file is a symbolic link, the file it "
            "leads to is replaced."
        ),
    )
    config.add_argument("--email", metavar="EMAIL", help="account e-mail address")
    password = config.add_mutually_exclusive_group()
    password.add_argument(
        "--password",
        metavar="PASSWORD",
        help=(
            "account password (beware: other users may see command-line "
            "arguments in the process list)"
        ),
    )
    password.add_argument(
        "--password-stdin",
        action="store_true",
        help=(
            "read the password from standard input: its first line, without "
            "the line break; nothing after it is read (needs --email). On a "
            "terminal it is asked for without echo"
        ),
    )
    config.add_argument(
        "--no-verify",
        action="store_true",
        help=(
            "store without logging in (for a server that cannot be reached "
            "now); the cached token is removed when the e-mail address changes"
        ),
    )
    config.add_argument(
        "--yes",
        "-y",
        action="store_true",
        help="replace the credentials of another account without asking",
    )
    status = commands.add_parser(
        "status",
        help="show the stored account and whether its cached token is usable",
        description=(
            "Show the stored e-mail address (never the password), the paths "
            "of the secret and tokens files, whether a token is cached and "
            "whether the account server accepts it, and the server URLs; "
            "what needs no request first. A secret file it cannot read is "
            "named with the line and the kind of problem, never quoted. "
            "Exits 0 when a usable token is cached, 1 when none is (none "
            "cached, refused by the account server, a file that cannot be "
            "read), 3 when the account server gave no verdict (unreachable, "
            "a time-out, a proxy or TLS failure, a server or gateway error)."
        ),
    )
    status.add_argument(
        "--offline",
        action="store_true",
        help=(
            "send no request: a cached token then counts as usable without "
            "asking the server"
        ),
    )
    logout = commands.add_parser(
        "logout",
        help="remove the cached token (with --forget, the credentials too)",
        description=(
            "Remove ~/.talvero/tokens.file, and with --forget "
            "~/.talvero/secret.file too, with the copies killed writers "
            "left; a symbolic link's data is removed where it leads, and "
            "the link kept. A file whose data would remain (another hard "
            "link) is not removed, and the command says why and exits 1. "
            "Removing what is not there is not an error."
        ),
    )
    logout.add_argument(
        "--forget",
        action="store_true",
        help="also remove the stored e-mail address and password",
    )
    return parser
