"""cli: the command line, ``python -m kestro_core check|run|plan|cache|studio``.

main.py      the parser and the commands: each builds a JobOptions, calls, shows
display.py   events shown as a bar, plain lines or JSON lines

With the studio's entry, the only code that prints. May import anything of the package.
"""
