"""``python -m ostrel``: see :mod:`ostrel.cli`."""

from ostrel.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
