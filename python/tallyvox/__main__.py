"""Run the tallyvox command line: python -m tallyvox."""

import sys

from tallyvox.cli import main

sys.exit(main())
