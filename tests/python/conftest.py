import os

from hypothesis import HealthCheck, settings
from support import examples

settings.register_profile("default", max_examples=examples(300), deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("ci", parent=settings.get_profile("default"), derandomize=True)
settings.load_profile("ci" if os.environ.get("CI") else "default")
