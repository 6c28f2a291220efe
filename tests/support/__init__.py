"""What the tests share beyond fixtures, importable as `support` from the tests (pytest puts
tests/ on sys.path) and from the benchmarks and the worker scripts (which put it there).

    blocks          the block forward written out in Python, and the small blocks built for it
    dendritic_net   the dendritic networks most tests run on
    names           the names each extension module binds, in order
    storage         the storage modes of a saved file and the settings that choose them
    *_worker.py     scripts that tests run in child processes
"""
