"""The report store's names where the tests and benches of before import them; the store
itself is qvbkit/store/."""

from qvbkit.store.engines import *  # noqa: F401,F403
from qvbkit.store.errors import *  # noqa: F401,F403
from qvbkit.store.postgres_store import pg  # noqa: F401
from qvbkit.store.queue import OFFER_SECONDS  # noqa: F401
from qvbkit.store.schema import *  # noqa: F401,F403
