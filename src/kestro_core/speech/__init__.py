"""speech: who speaks the narrations, and when each word is spoken.

base.py        Speaker (close, local, name, last_timing, identity; a context manager) and
               VoiceError
service.py     the speech service as a speaker, through the extension's own client
local.py       what the voices on this machine share: LocalVoice, the text an engine gets,
               the MP3 encode (MP3_RATE)
piper.py       the piper voice: model lookup and checks, one model load per voice
espeak.py      the espeak-ng voice
voices.py      the engines, a voice checked before any work, the speaker of a job opened
narrations.py  each narration from the cache, or spoken once and kept there (job, plan, studio)
timing.py      word timings: from piper's alignments, else shared out over the heard sound

May import media and store.
"""
