"""picture: what the vertical products look like.

framing.py   each Segment's place in the 9:16 frame (crop, fit, auto)
captions.py  cues, their layout and their subtitle files; the encode that draws them
finish.py    the burned copy and the finished short, each one encode

May import sound, speech, cuts, segments, media and store.
"""
