"""picture: what the vertical products look like.

framing.py   each Segment's place in the 9:16 frame (crop, fit, auto)
captions.py  cues, and their layout as libass draws them ("lines", "words")
subtitles.py the SRT files
finish.py    the words files; the one finishing encode, for the burned copy and the
             finished short

May import sound, speech, cuts, segments, media and store.
"""
