"""timeline: the job's cut as a timeline an editor opens.

model.py     what the timeline holds, in seconds of horizontal_final.mp4 and of each media
export.py    the timeline built with OpenTimelineIO (the optional extra kestro_core[timeline])
             and written as .otio, .fcpxml or .edl

May import segments, media and store.
"""
