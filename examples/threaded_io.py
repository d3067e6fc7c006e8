"""Fetching many pages at once with threads, and a thread-safe rate limiter."""

import threading
import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor, as_completed


def fetch(url, timeout=10.0):
    """The body of one page."""
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read()


def fetch_all(urls, workers=16):
    """Fetch every URL on a thread pool; failures are returned, not raised."""
    results = {}
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(fetch, url): url for url in urls}
        for future in as_completed(futures):
            url = futures[future]
            try:
                results[url] = future.result()
            except OSError as error:
                results[url] = error
    return results


class RateLimiter:
    """At most `rate` acquisitions per second, shared by all threads."""

    def __init__(self, rate):
        self.interval = 1.0 / rate
        self.lock = threading.Lock()
        self.next_slot = time.monotonic()

    def acquire(self):
        """Block until the caller's slot comes: the lock hands out one slot at a time, so callers
        are synchronized and ordered by arrival."""
        with self.lock:
            slot = max(self.next_slot, time.monotonic())
            self.next_slot = slot + self.interval
        time.sleep(max(0.0, slot - time.monotonic()))


def crawl_in_batches(urls, batch_size=100, workers=8):
    """Crawl a long URL list batch by batch on a thread pool, holding one batch of pages at a time."""
    for start in range(0, len(urls), batch_size):
        batch = urls[start:start + batch_size]
        yield fetch_all(batch, workers=workers)
