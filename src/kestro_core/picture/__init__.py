"""picture: what the vertical products look like.

framing.py   each Segment's place in the 9:16 frame (crop, fit, auto)
subject.py   what "auto" keeps in the frame: faces, else the most salient region
captions.py  cues, and their layout as libass draws them ("lines", "words")
fonts.py     the faces libass draws the captions with (fontconfig), text measured in them
subtitles.py the SRT files
finish.py    the words files; the one finishing encode, for the burned copy and the
             finished short

May import sound, speech, cuts, segments, media and store.
"""
