"""The page each worker shares with its parent, keyed by the worker's
request queue.

A handle makes the page before it starts its worker; a forked worker finds
it here under the same queue object. The page says which request the
worker runs and until when its time limit lasts, so that the parent can
interrupt exactly that request and tell a request that ignores its
interrupt from one that is still waiting in the queue.
"""
import weakref

# request queue -> the capsule that keeps the worker's page mapped
pages = weakref.WeakKeyDictionary()
