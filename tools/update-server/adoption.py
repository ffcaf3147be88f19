"""The adoption report's names where the tests of before import them; the report itself is
qvbkit/ops/adoption.py."""

from qvbkit.ops.adoption import *  # noqa: F401,F403
