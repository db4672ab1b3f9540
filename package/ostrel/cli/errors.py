"""The exception types the command line turns into one line on stderr and its exit status."""


class InputError(Exception):
    """Bad input from the user: reported as one line on stderr, never a traceback."""

    exit_status = 2


class MachineError(Exception):
    """A failure of the machine, not of the input (a worker killed, a cluster
    lost): reported as one line on stderr, never a traceback."""

    exit_status = 1
