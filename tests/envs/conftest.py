"""Fixtures of the environment tests (defined with their helpers in envs_support)."""

from envs_support import *  # noqa: F401,F403
