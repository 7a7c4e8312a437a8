import traceback


def module_entries(exc, function):
    """The traceback entries the module added for `function` (a published function); they
    point at the same source file as the function's code object."""
    name = "kestro_core.kestro_core." + function.__name__
    entries = [fs for fs in traceback.extract_tb(exc.__traceback__) if fs.name == name]
    assert all(fs.filename == function.__code__.co_filename for fs in entries)
    return entries
