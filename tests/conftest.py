import sys
from pathlib import Path

# The oracle lives beside the tests; the module under test is the installed one.
sys.path.insert(0, str(Path(__file__).parent))
