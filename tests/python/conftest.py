"""The implementations that the worked examples hold for."""

import pytest

import quorbel
import reference


@pytest.fixture(params=[quorbel, reference], ids=["quorbel", "reference"])
def implementation(request):
    """The module, then the pure-Python oracle that the differential tests compare it with.

    The worked examples hold for both, so an agreement of the two in a differential test is an
    agreement with the examples, not a shared mistake.
    """
    return request.param
