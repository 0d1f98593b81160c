"""`python -m corvelle`: the same command line as the `corvelle` program."""

import sys

from .cli import main

sys.exit(main())
