"""sound: what the products sound like.

heard.py     when each narration is heard in the joined video
mix.py       the finished short's sound: kept ranges, music, loudness

May import speech, cuts, segments, media and store.
"""
