"""``python -m kestro_core check|run|plan|cache|studio``: see kestro_core.cli.main."""

import sys

__all__: list[str] = []

from kestro_core.cli.main import main

if __name__ == "__main__":
    sys.exit(main())
