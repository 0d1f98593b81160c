"""Fixtures of the dataset tests (defined with their helpers in datagen_support)."""

from datagen_support import *  # noqa: F401,F403
