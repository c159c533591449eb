"""python3 -m elutrix.score TRUTH FOUND [--out DIR] [--tolerance-min T]: the
command elutrix-score (see elutrix.scoring). Importing this module replaces
the function elutrix.score with it; call elutrix.scoring.score instead."""
import sys

from elutrix.scoring import main

if __name__ == "__main__":
    sys.exit(main())
