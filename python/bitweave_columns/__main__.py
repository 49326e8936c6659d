"""python -m bitweave_columns: the `bitweave` command line."""
import sys

from .cli import main

sys.exit(main())
