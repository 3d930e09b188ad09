"""Work over many database files: one task per file, run in worker
processes, each file's failure kept as text so the others go on. The task
functions must be top-level functions of a module (the workers import them)."""

from __future__ import annotations

import os
from typing import Any, Callable, List, Optional, Sequence, Tuple

from .errors import CliError
from .files import file_size
from .progress import FilesProgress, run_in_thread


def _call(task: Tuple[Callable[..., Any], Tuple[Any, ...]]) -> Tuple[Any, Optional[str]]:
    """Runs one task in a worker: its result, or the text of its failure."""
    fn, task_args = task
    try:
        return fn(*task_args), None
    except CliError as error:
        return None, str(error)
    except Exception as error:  # anything else still fails only this file
        return None, "%s: %s" % (type(error).__name__, error)


def _call_many(tasks: Sequence[Tuple[Callable[..., Any], Tuple[Any, ...]]]
               ) -> List[Tuple[Any, Optional[str]]]:
    """Runs tasks in a worker, one after another."""
    return [_call(task) for task in tasks]


def run_per_file(fn: Callable[..., Any], work: Sequence[Any], jobs: Optional[int],
                 progress: Optional[FilesProgress] = None
                 ) -> List[Tuple[str, Tuple[Any, Optional[str]]]]:
    """Runs fn over the work items (a path, or a tuple whose first item is
    the path) in `jobs` worker processes (default: the number of cores);
    returns (path, (result, error text or None)) in the items' order. With
    `progress`, each file done is counted there and the line is redrawn
    while the work goes on (then cleared)."""
    tasks = [(fn, item if isinstance(item, tuple) else (item,)) for item in work]
    paths = [t[1][0] for t in tasks]
    jobs = jobs or os.cpu_count() or 1
    if jobs == 1 or len(tasks) == 1:
        if progress is None or not progress.enabled:
            return list(zip(paths, map(_call, tasks)))

        def one_by_one() -> List[Tuple[Any, Optional[str]]]:
            done = []
            for path, task in zip(paths, tasks):
                done.append(_call(task))
                progress.file_done(path)
            return done

        try:
            return list(zip(paths, run_in_thread(one_by_one, progress.tick)))
        finally:
            progress.clear()
    # Imported here: the pool's modules take longer to load than the rest
    # of the command line, and only runs over several files use them.
    import concurrent.futures

    workers = min(jobs, len(tasks))
    # The largest files go out first, a few files per round trip, and the
    # smallest last, one at a time: the workers then finish close together
    # without a round trip to a worker per file.
    order = sorted(range(len(tasks)), key=lambda i: -file_size(paths[i]))
    results: List[Any] = [None] * len(tasks)
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        pending = {}
        at = 0
        while at < len(order):
            # Batches shrink as the work left does: an eighth of each
            # worker's share, down to one file.
            size = max(1, (len(order) - at) // (workers * 8))
            group = order[at:at + size]
            at += size
            pending[pool.submit(_call_many, [tasks[i] for i in group])] = group
        waiting = set(pending)
        try:
            while waiting:
                finished, waiting = concurrent.futures.wait(
                    waiting, timeout=0.2, return_when=concurrent.futures.FIRST_COMPLETED)
                for future in finished:
                    for i, result in zip(pending[future], future.result()):
                        results[i] = result
                        if progress is not None:
                            progress.file_done(paths[i])
                if progress is not None:
                    progress.tick()
        finally:
            if progress is not None:
                progress.clear()
    return list(zip(paths, results))
