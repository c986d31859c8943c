"""The C library's heap during a fit: freed memory back to the system, and
no page faults for memory it is about to reuse.

glibc's malloc keeps the pages of freed blocks below its mmap threshold in
its heap. The row ids of a fit on millions of rows are such blocks, of a new
size at every split: the pages they leave are seldom refilled, and the
process's resident size grows by tens of megabytes over the first trees.
malloc_trim returns them.

The thresholds start low and rise as large blocks are freed (to at most 32
MiB for the mmap threshold and twice that for trimming the heap's top).
Until they reach their top, a fit's partitions keep taking blocks from the
system, as new mappings or as a top just trimmed, each page a fault on its
first write: 36,000-48,000 faults in 21 rounds on 1,000,000 x 32 rows at 2
threads, 10,000 with the thresholds at their top from the start, and the fit
2.17 against 2.34 s (the medians of six fits each), its peak memory the
same. So the heap module sets them there when it is loaded: where glibc's
own adjustment takes a process that has freed a 32 MiB array. Elsewhere
(another C library) this does nothing.
"""

import ctypes

# Blocks of at least this many bytes are worth a trim (which walks the heap:
# about half a millisecond on a fit of 4M rows).
TRIM_BYTES = 8 << 20


def _libc_function(name, argtypes):
    """The C library's function name, or None where it has none. The symbols
    already loaded into the process, the C library's among them: looking the
    library up by name would run ldconfig at import."""
    try:
        fn = getattr(ctypes.CDLL(None), name)
    except (OSError, AttributeError, TypeError):
        return None
    fn.argtypes, fn.restype = argtypes, ctypes.c_int
    return fn


_TRIM = _libc_function("malloc_trim", [ctypes.c_size_t])

# mallopt's parameters (malloc.h) and the tops of glibc's own adjustment.
M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3
MMAP_THRESHOLD_TOP = 32 << 20
TRIM_THRESHOLD_TOP = 2 * MMAP_THRESHOLD_TOP

# Only with glibc's malloc, whose trim says it is there.
_MALLOPT = None if _TRIM is None else _libc_function("mallopt", [ctypes.c_int, ctypes.c_int])
if _MALLOPT is not None:
    _MALLOPT(M_MMAP_THRESHOLD, MMAP_THRESHOLD_TOP)
    _MALLOPT(M_TRIM_THRESHOLD, TRIM_THRESHOLD_TOP)


def release_freed(n_bytes):
    """Returns the heap's free pages to the system after blocks of n_bytes
    in all were freed, if that is worth a trim."""
    if _TRIM is not None and n_bytes >= TRIM_BYTES:
        _TRIM(0)
