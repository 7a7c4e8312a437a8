"""job: one short from start to end.

run.py       make_short and run_job: the check, the source, the voice and the cache bound for
             the length of a run_kestro call, then the captions and the finished short
binding.py   the extension loaded, and the namespace binding around run_kestro that hands each
             thread its own job
steps.py     what each bound function does for a job (download, narrate, cut, merge, join)
check.py     the whole-job check, made before anything is downloaded
events.py    Event, the step names, the Reporter that delivers them
lock.py      a job holds its output directory
handoff.py   the joined video measured into a timeline for an editor

May import options, picture, sound, speech, cuts, segments, media and store; never planning
or a front end.
"""
