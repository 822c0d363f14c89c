"""`python -m tarnis`: the command-line interface."""

import sys

from tarnis.cli import main

sys.exit(main())
