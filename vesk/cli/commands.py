"""The commands: config, status and logout. Each returns its exit status;
results go to `out`, notes to stderr."""

import os
import stat
import sys

from vesk.cli.answers import Observer, judge_refusal, log_in, observing
from vesk.cli.credentials import check_email, check_value, encode, is_email, render
from vesk.cli.file_changes import (ABANDONED_AFTER_SECONDS, check_replaceable, data_path,
                                   ensure_folder, folder_trouble, identity, link_words,
                                   remove, remove_leftovers, write_atomically)
from vesk.cli.file_reading import lookup, parse_ini, read_secret
from vesk.cli.prompts import (ask_line, ask_password, ask_until_valid, confirm,
                              password_line_from_stdin, stdin_is_terminal)
from vesk.cli.reporting import EXIT_FAILURE, EXIT_USAGE, CommandError, note
from vesk.cli.request_failures import server_trouble, shown_url, wait_words


def _client():
    # The native module owns the file paths, the server URL and the login;
    # it is imported only by the commands that need it.
    from vesk.tracking.lite_extensions import vandrel

    return vandrel


def run_config(args, out):
    interactive = stdin_is_terminal()
    email = args.email
    if args.password_stdin and email is None:
        raise CommandError("--password-stdin needs --email", EXIT_USAGE)
    if not interactive and (email is None or (args.password is None
                                              and not args.password_stdin)):
        raise CommandError(
            "standard input is not a terminal; pass --email and --password "
            "(or --password-stdin)",
            EXIT_USAGE,
        )
    if email is None:
        email = ask_until_valid(lambda: ask_line("E-mail: "), check_email)
    else:
        check_email(email)

    client = _client()
    secret_file, tokens_file = client.SECRET_FILE, client.TOKENS_FILE
    previous = None
    replaces = False
    if os.path.exists(secret_file):
        # Before reading it: reading a FIFO there would wait for a writer.
        check_replaceable(data_path(secret_file))
        previous, _ = read_secret(secret_file)
        replaces = previous != email
    # A stored value that is no address is not shown: it may be a password.
    shown = previous if previous is not None and is_email(previous) else None
    if replaces and interactive and not args.yes:
        question = "{} holds {}. Replace {} with {}?".format(
            secret_file, "the account " + shown if shown else "credentials",
            shown or "them", email)
        if not confirm(question):
            raise CommandError(
                "kept {}; nothing written".format(shown or "the secret file"),
                EXIT_FAILURE,
            )

    check_password = lambda value: check_value("password", value)  # noqa: E731
    if args.password is not None:
        password = args.password
        check_password(password)
    elif args.password_stdin and not interactive:
        password = password_line_from_stdin()
        check_password(password)
    else:
        password = ask_until_valid(ask_password, check_password)
    data = encode(render(email, password))

    created = ensure_folder(os.path.dirname(secret_file))
    tokens_before = identity(tokens_file)
    dropped_token = written = False
    try:
        target = data_path(secret_file)
        # Refused before the login, which would otherwise replace the
        # tokens file and leave the secret file unwritten.
        check_replaceable(target)
        check_replaceable(data_path(tokens_file))
        remove_leftovers(os.path.dirname(target), ".secret.", ABANDONED_AFTER_SECONDS)
        if not args.no_verify:
            log_in(client, email, password)
        elif previous != email:
            # Unchecked credentials of another account: the cached token
            # must go first, or it would be handed out for them.
            dropped_token = remove(tokens_file, "the cached token") is not None
        try:
            others = os.stat(target).st_nlink - 1
        except OSError:
            others = 0
        try:
            write_atomically(target, data)
        except OSError as exc:
            raise CommandError(
                "cannot write {}: {}".format(target, exc.strerror or exc),
                EXIT_FAILURE,
            )
        written = True
    finally:
        if not written:
            # A token of the new account must not outlive a failed or
            # interrupted command: it would be handed out for the old one.
            if identity(tokens_file) != tokens_before:
                try:
                    remove(tokens_file, "the cached token")
                except CommandError:
                    pass
            if created:
                try:
                    os.rmdir(os.path.dirname(secret_file))
                except OSError:
                    pass

    where = secret_file if target == os.path.abspath(secret_file) else "{}, where {} leads".format(
        target, secret_file)
    replaced = ""
    if replaces:
        replaced = ", replacing {}".format(
            shown or "credentials that named no e-mail address")
    if args.no_verify:
        print("credentials written to {}{} (not checked with the account "
              "server)".format(where, replaced), file=out)
        if dropped_token:
            print("removed {}, the cached token of {}".format(
                tokens_file, shown or "the previous credentials"), file=out)
    else:
        print("logged in to {} as {}".format(shown_url(str(client.TALVERO_API_URL)), email),
              file=out)
        print("credentials written to {}{}".format(where, replaced), file=out)
    if others > 0:
        note("config", "warning: the file replaced had {} other name{} (hard links), which "
             "still hold the old credentials".format(others, "s" if others > 1 else ""))
    trouble = folder_trouble(os.path.dirname(os.path.realpath(secret_file)))
    if trouble:
        note("config", "warning: {}: others can replace the files in it, and links in it "
             "are not followed".format(trouble))
    return 0


# Exit statuses of `vesk status`: 0 a usable token is cached; 1 none is
# (none cached, refused by the account server, a file that cannot be read,
# no credentials); 3 the account server gave no verdict on the cached token
# (unreachable, a time-out, a proxy or TLS failure, a server or gateway
# error, a busy server).
EXIT_UNCHECKED = 3


def _token_state(client, offline):
    """(exit status, words) for the cached token."""
    import configparser

    tokens_file = client.TOKENS_FILE
    if not os.path.exists(tokens_file):
        return EXIT_FAILURE, "none cached"
    parser, problem = parse_ini(tokens_file, ("TOKENS", "access_token", "refresh_token"))
    if parser is None:
        return EXIT_FAILURE, "the tokens file cannot be read: {}".format(problem)
    problem = lookup(parser, tokens_file, "TOKENS", "access_token")[1]
    if problem is not None:
        return EXIT_FAILURE, "the tokens file holds no token: {}".format(problem)
    if offline:
        return 0, "cached, not checked (--offline)"
    url = shown_url(str(client.TALVERO_API_URL))
    note("status", "checking the cached token at {}/auth/authenticate{}".format(
        url, wait_words()))
    observer = Observer(client.requests)
    try:
        with observing(client, observer):
            expired = client.expired_token()
    except (KeyError, UnicodeDecodeError, configparser.Error) as exc:
        # Changed since it was read above; the client's own words name the
        # line and the kind of problem, never the file's text.
        if isinstance(exc, KeyError):
            return EXIT_FAILURE, "the tokens file holds no token: no {}".format(exc)
        return EXIT_FAILURE, "the tokens file cannot be read: {}".format(exc)
    except Exception as exc:
        return EXIT_UNCHECKED, "cached, not checked: " + server_trouble(exc, url)
    if not expired:
        return 0, "cached, accepted by the account server"
    refused, words = judge_refusal(observer.last, url)
    if refused:
        return EXIT_FAILURE, "cached, {}; the next get_token() logs in again".format(words)
    return EXIT_UNCHECKED, "cached, not checked: " + words


def _permission_warning(path):
    # As ssh does for its keys: the password must be the owner's alone.
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        return
    if mode & 0o077:
        print("vesk status: warning: permissions {:04o} of {} are too open: other "
              "users may read the password; run: chmod 600 {}".format(mode, path, path),
              file=sys.stderr)


def run_status(args, out):
    client = _client()
    secret_file, tokens_file = client.SECRET_FILE, client.TOKENS_FILE
    if os.path.exists(secret_file):
        email, problem = read_secret(secret_file)
        if email is not None and not is_email(email):
            # Not shown: a value that is no address may be a password.
            email = None
            problem = problem or "the 'email' in [secret] is not an e-mail address"
        if problem is None:
            account = email
        elif email is not None:
            account = "{} ({}: {})".format(email, secret_file, problem)
        else:
            account = "unusable: {}: {}".format(secret_file, problem)
    else:
        problem = "missing"
        account = "not configured (run: vesk config)"
    # What needs no request first, at once: the check may take a while.
    rows = [("account", account),
            ("secret file", "{} ({})".format(secret_file, link_words(secret_file))),
            ("tokens file", "{} ({})".format(tokens_file, link_words(tokens_file))),
            ("TALVERO_API_URL", shown_url(str(client.TALVERO_API_URL))),
            ("TRACKING_URI", client.TRACKING_URI)]
    for label, value in rows:
        print("{:<16} {}".format(label + ":", value), file=out)
    out.flush()
    if os.path.exists(secret_file):
        _permission_warning(secret_file)
    status, token = _token_state(client, args.offline)
    print("{:<16} {}".format("token:", token), file=out)
    if problem is not None:
        return EXIT_FAILURE
    return status


def run_logout(args, out):
    client = _client()
    lines, failures = [], []
    wanted = [(client.TOKENS_FILE, "the cached token", ".tokens.")]
    if args.forget:
        wanted.append((client.SECRET_FILE, "the credentials", ".secret."))
    for path, what, prefix in wanted:
        try:
            line = remove(path, what)
            folder = os.path.dirname(data_path(path))
        except CommandError as exc:
            failures.append(str(exc))
            continue
        if line:
            lines.append(line)
        # Copies that killed writers left hold the same secrets.
        removed, stuck = remove_leftovers(folder, prefix, 0)
        if removed:
            lines.append("removed {} leftover cop{} of {} ({}*.tmp) in {}".format(
                removed, "ies" if removed > 1 else "y", what, prefix, folder))
        failures.extend("cannot remove {}: {}".format(name, why) for name, why in stuck)
    if not lines and not failures:
        lines.append("nothing to remove: {}".format(
            "no cached token and no stored credentials" if args.forget else "no cached token"))
    if not args.forget and os.path.exists(client.SECRET_FILE):
        lines.append("kept {} (the credentials; vesk logout --forget removes them)".format(
            client.SECRET_FILE))
    for line in lines:
        print(line, file=out)
    for failure in failures:
        print("vesk logout: {}".format(failure), file=sys.stderr)
    return EXIT_FAILURE if failures else 0
