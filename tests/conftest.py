import pathlib
import sys

# The test helpers live beside the tests.
sys.path.insert(0, str(pathlib.Path(__file__).parent))
