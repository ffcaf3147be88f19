"""The static answers' names where the tests of before import them; the static tree itself is
qvbkit/release/static.py."""

from qvbkit.release.static import *  # noqa: F401,F403
