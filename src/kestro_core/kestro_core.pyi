"""Type stubs of the extension module kestro_core.kestro_core."""

import base64 as base64
import json as json
import os as os
import re as re
import subprocess as subprocess
import time as time
from types import ModuleType
from urllib.parse import quote as quote

# the HTTP package, bound at import; typed loosely so that checking a caller
# needs no third-party stubs
requests: ModuleType
__test__: dict[str, object]

def _download_video(url: str, output_file: str) -> None: ...
def _generate_tts(text: str, output_file: str, voice: str) -> None: ...
def _build_atempo_chain(speed: float) -> str: ...
def run_kestro(
    youtube_url: str,
    segments_file: str,
    speed_factor: float,
    tts_voice: str,
    output_dir: str = ".",
) -> str: ...
