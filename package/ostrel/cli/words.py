"""Counts in words that agree with them."""


def plural(count: int, noun: str) -> str:
    """``1 peak``, ``2 peaks``, ``0 peaks``."""
    return f"{count} {noun}{'' if count == 1 else 's'}"
