import pytest

from index_standins import install_missing


@pytest.fixture(autouse=True)
def siblings(monkeypatch):
    install_missing(monkeypatch)
