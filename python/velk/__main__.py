"""``python -m velk``: the same as the ``velk`` command."""

import sys

from velk.cli import main

if __name__ == "__main__":
    sys.exit(main())
