"""kestro_core: narrated short videos made from long ones.

The work is done by the native extension module ``kestro_core.kestro_core``::

    from kestro_core import kestro_core
    kestro_core.run_kestro(link, "segments.json", 1.5, "en-US-voice", "out")

This package file imports nothing, so that importing the extension stays its own step.
"""
