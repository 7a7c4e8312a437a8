"""The studio: a page on 127.0.0.1 where Segments are marked on the video, each narration is
heard over its range, the fit is shown as it is typed, and the job is rendered.

``serve`` needs the optional extra ``kestro_core[studio]`` (Starlette and uvicorn); this
package imports without it.
"""

from __future__ import annotations

from typing import Any

from kestro_core.studio.session import StudioError

try:  # the optional extra kestro_core[studio]: the package imports without it
    from kestro_core.studio import server
except ImportError as exc:
    server = None  # type: ignore[assignment]
    _MISSING = exc.name or "starlette"

__all__ = ["StudioError", "serve"]

STUDIO_INSTALL = "install it with: pip install 'kestro_core[studio]'"


def serve(video: str | None, segments: str | None = None, **options: Any) -> int:
    """Serve the studio for ``video`` (or ``link=``) and ``segments`` until Ctrl-C; give
    the exit status. See :func:`kestro_core.studio.server.serve` for the options.

    Raises StudioError for arguments it cannot work with, and when the optional extra is
    missing."""
    if server is None:
        raise StudioError(f"the studio needs {_MISSING}: {STUDIO_INSTALL}")
    return server.serve(video, segments, **options)
