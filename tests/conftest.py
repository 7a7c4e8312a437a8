import importlib
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    # for demo.standin and tests.support; the package itself comes from the installed build
    sys.path.insert(0, str(ROOT))


@pytest.fixture(scope="session")
def kc():
    """The extension module, as installed in the environment running the tests."""
    module = importlib.import_module("kestro_core.kestro_core")
    assert "site-packages" in module.__file__, module.__file__
    return module


@pytest.fixture
def routed(kc, standin, monkeypatch):
    """The module's requests, routed to the test file's `standin` server."""
    from demo.standin import RoutedRequests

    r = RoutedRequests(standin)
    monkeypatch.setattr(kc, "requests", r)
    return r
