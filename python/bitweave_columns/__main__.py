"""python -m bitweave_columns: the `bitweave` command line."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
