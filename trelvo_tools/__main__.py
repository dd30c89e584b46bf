"""Runs the command line: python -m trelvo_tools list|relay|view|demo."""
import sys

from .cli import main

sys.exit(main(prog="python -m trelvo_tools"))
