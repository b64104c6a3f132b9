"""Which worker process writes each answer queue that a handle created.

Waiting for an answer on such a queue also watches that process, so a
worker that dies does not leave its caller waiting for ever.
"""
import weakref

# answer queue -> the worker process writing to it
writers = weakref.WeakKeyDictionary()
