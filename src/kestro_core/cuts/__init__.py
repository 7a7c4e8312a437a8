"""cuts: the source video and the pieces cut from it.

sources.py   where the source comes from: a file on disk (linked) or the download service
exact.py     an exact cut: one range encoded on its own, from its very start, cached
preroll.py   what a stream-copy cut shows from before its start, and its warning

May import segments, media and store.
"""
