"""store: where files are kept.

cache.py     the on-disk cache of downloads, narrations and exact cuts
files.py     writing beside a path and renaming over it; placing a file by link
hashing.py   a large file's sha256, remembered
products.py  the names of what a job leaves in its output directory, and of its working files
scratch.py   our working directories in the temporary directory, and sweeping a dead job's

Imports nothing of the package's outside this folder.
"""
