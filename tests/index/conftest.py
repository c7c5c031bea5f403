import pytest


@pytest.fixture
def logs(caplog):
    """The log records of the test, with the module's INFO lines captured."""
    caplog.set_level("INFO")
    return caplog
