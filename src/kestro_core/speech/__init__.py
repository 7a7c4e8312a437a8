"""speech: who speaks the narrations, and when each word is spoken.

speakers.py  the Speaker of a job: the speech service, or a local voice; speaking into a file
voices.py    the voices of this machine: piper and espeak-ng
timing.py    word timings: from piper's alignments, else shared out over the heard sound

May import media and store.
"""
