"""python -m wisp: check mapper files, or print what a statement renders to."""

import sys

from wisp._command import main

sys.exit(main())
