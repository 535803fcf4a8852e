"""python -m quarl: the `quarl` command."""

import sys

from quarl.cli import main

sys.exit(main())
