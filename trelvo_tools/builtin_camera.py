"""The built-in simulated camera: a moving test pattern, so that every command and program has
something to show on a machine without cameras. ``simcam.test_pattern()`` creates it; the
command line's ``--simulated`` adds it."""

NAME = "trelvo test pattern (simulated)"
LINK = "sim://trelvo-test-pattern"
SIZE = (640, 480)
FPS = 30
