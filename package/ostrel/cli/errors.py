"""The one exception type the command line turns into a message and status 2."""


class InputError(Exception):
    """Bad input from the user: reported as one line on stderr, never a traceback."""

    exit_status = 2
