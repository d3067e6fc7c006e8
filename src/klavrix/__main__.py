"""`python -m klavrix`: the klavrix command."""

import sys

from klavrix.cli import main

sys.exit(main())
