"""Worker watch for the command's process pools: a worker that dies ends the call in seconds.

multiprocessing's Pool replaces a worker process that dies (a decoder crashing on a hostile
file, the out-of-memory killer, a kill -9), but the work that worker held is lost and the
results it owed never come. A worker that dies while it waits for work also takes the task
queue's lock with it, and the pool's own terminate() then waits for that lock for ever.

The watch does after a death what search_index_lib's own pools do: it ends every worker,
frees the queue locks a dead worker may hold, and raises RuntimeError with the module's text
("a worker process died (killed by SIGKILL) ...; the pool's other workers were ended"). An
interrupt (Ctrl-C) while waiting ends the workers the same way. A worker's own error is
raised unchanged.

This module is imported by spawned and forkserver workers with the pools that use it, so it
imports nothing heavy.
"""
import multiprocessing
import signal

# How often a waiting call looks at its workers while no result arrives (seconds).
POLL_SECONDS = 0.1
# A worker may end just after handing back its results; they get this long to arrive before
# its end counts as a death.
GRACE_SECONDS = 1.0
# How long a queue lock is waited for, with every worker ended, before it counts as held by a
# dead worker.
LOCK_SECONDS = 0.2
JOIN_SECONDS = 5.0


def ignore_interrupts():
    """Worker start-up: Ctrl-C reaches the whole process group; the caller alone handles it
    (by ending the pool), so workers do not each print a traceback."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def how_it_ended(exit_code):
    """"killed by SIGKILL" or "exit code 3", from a process's exit code."""
    if exit_code >= 0:
        return f"exit code {exit_code}"
    try:
        return f"killed by {signal.Signals(-exit_code).name}"
    except ValueError:
        return f"killed by signal {-exit_code}"


def what_was_lost(items, name_of_item=None):
    """"while working on '<file>'" when the call had one work item whose file can be named;
    otherwise how many work items were left unfinished."""
    if len(items) == 1 and name_of_item is not None:
        try:
            return f"while working on {name_of_item(items[0])!r}"
        except Exception:
            pass
    return f"before the pool finished its {len(items)} work items"


def worker_death(how, items, name_of_item=None):
    """The error a call ends with when one of its workers died `how` (see how_it_ended)."""
    return RuntimeError(f"a worker process died ({how}) "
                        f"{what_was_lost(items, name_of_item)}; the pool's other workers were ended")


def module_item_file(item):
    """The file a work item of search_index_lib's pools stands for: an image record's path,
    or the picture's path that leads a cropped search's work item."""
    path = getattr(item, "image_path", None)
    return item[0] if path is None else path


def free_lock(lock):
    """Releases `lock` on behalf of a dead holder: once every worker is ended, a lock still
    taken after a short wait belongs to a process that will never release it."""
    lock.acquire(timeout=LOCK_SECONDS)
    try:
        lock.release()
    except ValueError:
        pass  # released in the meantime: free already


class PoolWatch:
    """Every worker process a multiprocessing pool has had while the watch ran.

    The pool replaces dead workers in its list, so a worker seen once is kept until its end
    is known. A pool given a task limit per worker retires workers with exit code 0 as part of
    its work; those ends are no deaths."""

    def __init__(self, pool):
        self._pool = pool
        self._retires_workers = getattr(pool, "_maxtasksperchild", None) is not None
        self._seen = []
        self.refresh()

    def refresh(self):
        for worker in list(self._pool._pool):
            if worker not in self._seen:
                self._seen.append(worker)

    def death(self):
        """The exit code of a worker that died, or None."""
        for worker in list(self._seen):
            code = worker.exitcode
            if code is None:
                continue
            if self._retires_workers and code == 0:
                self._seen.remove(worker)
                continue
            return code
        return None

    def end_all(self):
        """Ends every worker at once and frees the queue locks a dead worker may have held,
        so that the pool's terminate() finishes."""
        self.refresh()
        for worker in self._seen:
            if worker.exitcode is None:
                worker.kill()
        for worker in self._seen:
            worker.join(JOIN_SECONDS)
        # A worker waiting for its next task holds the task queue's read lock, and one handing
        # back a result the result queue's write lock.
        for queue, name in ((self._pool._inqueue, "_rlock"), (self._pool._outqueue, "_wlock")):
            lock = getattr(queue, name, None)
            if lock is not None:
                free_lock(lock)

    def next_result(self, results, items, name_of_item=None):
        """The next result of `results` (an iterator of the pool's imap or imap_unordered),
        watching the workers while it waits. On a death or an interrupt every worker is ended
        before the error leaves."""
        try:
            return self._wait(results, items, name_of_item)
        except Exception:
            raise  # a worker's own error, or a death already handled
        except BaseException:
            self._end_all_quietly()
            raise

    def hand_over(self, take, *arguments):
        """`take(*arguments)` for results that arrived; should it fail or be interrupted, every
        worker is ended before the error leaves, as on an interrupt while waiting."""
        try:
            return take(*arguments)
        except BaseException:
            self._end_all_quietly()
            raise

    def _wait(self, results, items, name_of_item):
        while True:
            try:
                return results.next(POLL_SECONDS)
            except multiprocessing.TimeoutError:
                pass
            self.refresh()
            exit_code = self.death()
            if exit_code is None:
                continue
            try:
                return results.next(GRACE_SECONDS)
            except multiprocessing.TimeoutError:
                self._end_all_quietly()
                raise worker_death(how_it_ended(exit_code), items, name_of_item) from None

    def _end_all_quietly(self):
        try:
            self.end_all()
        except Exception:
            pass  # the error that ended the wait is the one the caller must see


def watched_imap(pool, function, items, chunksize=1, name_of_item=None):
    """`pool.imap(function, items, chunksize)` on a multiprocessing pool, in input order,
    with the workers watched while results are awaited."""
    items = list(items)
    watch = PoolWatch(pool)  # seen before any work starts, so no early death goes unseen
    # Runs of items travel together, as imap's chunksize sends them, but each run comes back
    # through an iterator the watch can wait on with a time limit.
    runs = [(function, items[first:first + chunksize]) for first in range(0, len(items), chunksize)]
    results = pool.imap(_run_of_items, runs)
    for _ in runs:
        yield from watch.next_result(results, items, name_of_item)


def _run_of_items(run):
    function, items = run
    return [function(item) for item in items]
