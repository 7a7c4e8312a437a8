"""``python -m kestro_core check|run``: see kestro_core.cli."""

import sys

from kestro_core.cli import main

if __name__ == "__main__":
    sys.exit(main())
