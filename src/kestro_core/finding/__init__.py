"""finding: the moment in a long film, found without reading the whole of it.

dialogue.py  the film's subtitle lines (a file given, a file beside it, or its own text
             subtitle stream, extracted once) and the lines that hold given words
shots.py     where the shots change inside a window of the film, from a small decode of that
             window alone
snap.py      the shot changes near each range's start and end, the notes the plan makes of
             them, and the ranges moved onto them (a snapped copy of the segments file)
filmstrip.py small pictures of a stretch of the film side by side (the studio's timeline)
memo.py      a film's identity (size, modification time, sampled bytes) and the small memo
             files kept in the cache under it

May import media, store and segments.
"""
