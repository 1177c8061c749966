"""``python -m minisearch``: see ``python -m minisearch --help``."""

import sys

from minisearch.cli import main

if __name__ == "__main__":  # not when a worker process re-imports the main module
    sys.exit(main())
