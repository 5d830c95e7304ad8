import os

from hypothesis import HealthCheck, settings

# Under CI every run draws the same examples, so a red CI is a real fault.
settings.register_profile(
    "ci",
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=40,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", deadline=None, max_examples=40)
settings.load_profile("ci" if os.environ.get("CI", "").lower() in ("1", "true", "yes") else "dev")
