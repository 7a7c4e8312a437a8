"""``python -m kestro_core check|run``: see kestro_core._cli."""

import sys

from kestro_core._cli import main

if __name__ == "__main__":
    sys.exit(main())
