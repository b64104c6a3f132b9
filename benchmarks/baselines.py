"""References that our workers are measured against.

``answer`` is the trivial function handed to multiprocessing.Pool and
ProcessPoolExecutor: it returns a list shaped like a worker's answer. An
``EchoWorker`` is the least that a worker over two multiprocessing queues
can do: it waits for a request with get(timeout=0.1), as our worker does,
and puts a fixed reply on its output queue.
"""
import multiprocessing
import queue

ANSWER = ["SUCCESS", "", "", {}]


def answer(request):
    return ["SUCCESS", "", "", {}]


def run_source(source):
    """Executes a source text as our worker does (module-level code, fresh
    locals), for the stock pools."""
    exec(source, {}, {})
    return ["SUCCESS", "", "", {}]


def echo_loop(qi, qo, reply):
    while True:
        try:
            qi.get(timeout=0.1)
        except queue.Empty:
            continue
        qo.put(reply)


class EchoWorker:
    def __init__(self, reply=ANSWER):
        self.qi = multiprocessing.Queue()
        self.qo = multiprocessing.Queue()
        # A daemon, so that it cannot outlive the benchmark process.
        self.proc = multiprocessing.Process(
            target=echo_loop, args=(self.qi, self.qo, reply), daemon=True)
        self.proc.start()

    def call(self, request):
        self.qi.put(request)
        return self.qo.get()

    def stop(self):
        for q in (self.qi, self.qo):
            q.cancel_join_thread()
        if self.proc.is_alive():
            self.proc.kill()
        self.proc.join(2.0)


def pipelined(workers, requests):
    """All requests put first, dealt round-robin, then one answer read per
    request in request order: the least that a pool's map can do."""
    n = len(workers)
    for k, request in enumerate(requests):
        workers[k % n].qi.put(request)
    return [workers[k % n].qo.get() for k in range(len(requests))]
