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


@pytest.fixture(autouse=True)
def _own_cache(tmp_path_factory, monkeypatch):
    """Every test, and every child it starts, gets a cache directory of its own: the
    user's cache is never read or written by the suite."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("xdg-cache")))
