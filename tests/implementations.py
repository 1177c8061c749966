"""Tables of cases that hold for the module and, in part, for the pure-Python oracle."""

import pytest

import quorbel
import reference


def module_and_oracle(shared, module_only=()):
    """Parameters `implementation, *case`: every case for the module, and the shared cases for the
    oracle as well (it has its own messages for arguments of the wrong type)."""
    cases = [*shared, *module_only]
    return [pytest.param(quorbel, *case, id=f"quorbel-{i}") for i, case in enumerate(cases)] + [
        pytest.param(reference, *case, id=f"reference-{i}") for i, case in enumerate(shared)
    ]
