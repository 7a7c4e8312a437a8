"""segments: the segments file and the time syntax written in it.

model.py     the file read and checked once (load, check_segments, read), written back in
             its own layout (dump, write)
keys.py      the optional keys of a Segment: "sound" and "frame"
timecode.py  ffmpeg's time syntax, read and written

May import store.
"""
