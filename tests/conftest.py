import os

import pytest
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

# Set by `make test-asan` / `make test-tsan` (through scripts/sanitized.sh) to
# the sanitizer the extension was built with.
SANITIZER = os.environ.get("PLOVIK_SANITIZER", "")

# Tests the sanitizer runtimes cannot take part in, and why.
NOT_UNDER_SANITIZERS = {
    # GCC 12's sanitizer allocators take no locks around fork(): a child
    # forked while a pool thread is inside the allocator can hang for ever.
    "forks_after_threads": "the sanitizer allocator is not fork-safe with threads running",
    # The runtimes reserve terabytes of address space for their shadow
    # memory and die outright when a cap makes one of their mappings fail.
    "address_space_limit": "the sanitizer runtime cannot live under an address-space cap",
    # Freed blocks wait in the sanitizer allocator's quarantine, so the
    # resident size does not fall when a buffer is freed; LeakSanitizer does
    # the accounting there instead.
    "resident_size": "the resident size does not follow frees under the sanitizer allocator",
    # Dask's worker processes would start without the sanitizer runtime the
    # interpreter was given (the sanitizer runs install no Dask anyway).
    "distributed": "Dask worker processes run without the sanitizer runtime",
}


def pytest_collection_modifyitems(config, items):
    if not SANITIZER:
        return
    for item in items:
        for marker, reason in NOT_UNDER_SANITIZERS.items():
            if marker in item.keywords:
                item.add_marker(pytest.mark.skip(reason=f"{reason} ({SANITIZER})"))
