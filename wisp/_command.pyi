"""The command line of ``python -m wisp``: ``check`` and ``render``."""

def main(argv: list[str] | None = None) -> int:
    """python -m wisp: check mapper files, or print what a statement renders to.
    Returns the exit status."""
