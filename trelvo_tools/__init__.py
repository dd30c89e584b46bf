"""Tools on top of the trelvo module."""
