"""Freed memory back to the system.

glibc's malloc keeps the pages of freed blocks below its mmap threshold
(which rises to 32 MiB as large arrays come and go) in its heap. The row ids
of a fit on millions of rows are such blocks, of a new size at every split:
the pages they leave are seldom refilled, and the process's resident size
grows by tens of megabytes over the first trees. malloc_trim returns them.
Elsewhere (another C library) this does nothing.
"""

import ctypes

# Blocks of at least this many bytes are worth a trim (which walks the heap:
# about half a millisecond on a fit of 4M rows).
TRIM_BYTES = 8 << 20


def _malloc_trim():
    # The symbols already loaded into the process, the C library's among
    # them: looking the library up by name would run ldconfig at import.
    try:
        trim = ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError, TypeError):
        return None
    trim.argtypes, trim.restype = [ctypes.c_size_t], ctypes.c_int
    return trim


_TRIM = _malloc_trim()


def release_freed(n_bytes):
    """Returns the heap's free pages to the system after blocks of n_bytes
    in all were freed, if that is worth a trim."""
    if _TRIM is not None and n_bytes >= TRIM_BYTES:
        _TRIM(0)
