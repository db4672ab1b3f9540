"""The one exception type for input that cannot be analysed."""


class InputError(Exception):
    """Bad input from the user: a one-line message that names the file and what to do.

    The command line prints it as it stands and exits with status 2.
    """

    exit_status = 2
