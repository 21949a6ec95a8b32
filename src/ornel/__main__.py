"""`python -m ornel` runs the `ornel` command."""

import sys

from ornel._command import main

sys.exit(main())
