"""The report service's counters, in Prometheus' text exposition format (version 0.0.4), with
nginx's stub_status beside them. Served at /metrics on the service's own loopback listener."""

import re
import threading
import urllib.request

# Upper bounds of the report latency histogram, in seconds: a report takes milliseconds; the
# last buckets show a store that hangs (STORE_SECONDS) and nginx giving up.
LATENCY_BUCKETS = (0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30)
STATUS_SECONDS = 1  # to read nginx's stub_status

COUNTERS = {
    "reports_stored": "Reports stored.",
    "reports_failed": "Reports answered with a server error.",
    "store_errors": "Store operations that failed (a report, a message, a confirmation).",
    "messages_delivered": "Messages nginx sent whole to a launcher.",
    "messages_offered_again": "Messages offered once more (the answer before did not go out"
                              " whole, or nobody confirmed it).",
}


class Metrics:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = dict.fromkeys(COUNTERS, 0)
        self.buckets = [0] * len(LATENCY_BUCKETS)
        self.latency_sum, self.latency_count = 0.0, 0

    def add(self, name, n=1):
        with self.lock:
            self.counts[name] += n

    def observe(self, seconds):
        with self.lock:
            for i, bound in enumerate(LATENCY_BUCKETS):
                if seconds <= bound:
                    self.buckets[i] += 1
            self.latency_sum += seconds
            self.latency_count += 1

    def text(self, store, store_up, nginx_status=None):
        """The exposition: the counters, the store's pool waits and state, and nginx's."""
        out = []

        def metric(name, kind, text, samples):
            out.append(f"# HELP {name} {text}\n# TYPE {name} {kind}\n")
            out.extend(f"{name}{labels} {value}\n" for labels, value in samples)

        with self.lock:
            counts, buckets = dict(self.counts), list(self.buckets)
            total, count = self.latency_sum, self.latency_count
        for name, text in COUNTERS.items():
            metric(f"qvbrelmox_{name}_total", "counter", text, [("", counts[name])])
        metric("qvbrelmox_report_seconds", "histogram", "Time to answer a report.",
               # The samples' suffixes stand in the labels' place.
               [(f'_bucket{{le="{b}"}}', n) for b, n in zip(LATENCY_BUCKETS, buckets)]
               + [('_bucket{le="+Inf"}', count), ("_sum", f"{total:.6f}"), ("_count", count)])
        metric("qvbrelmox_pool_waits_total", "counter",
               "Store operations that waited for a free connection (SQLite: for the lock).",
               [("", store.waits)])
        metric("qvbrelmox_pool_wait_seconds_total", "counter", "Time spent in those waits.",
               [("", f"{store.waited:.6f}")])
        metric("qvbrelmox_store_up", "gauge", "1 while the report store answers.",
               [("", int(store_up))])
        if nginx_status:
            out.append(nginx_metrics(nginx_status))
        return "".join(out).encode()


def nginx_metrics(url):
    """stub_status as Prometheus metrics; nginx_up 0 when it cannot be read."""
    try:
        with urllib.request.urlopen(url, timeout=STATUS_SECONDS) as answer:
            text = answer.read().decode("ascii", "replace")
        active = re.search(r"Active connections:\s*(\d+)", text).group(1)
        accepts, handled, requests = re.search(r"\n\s*(\d+)\s+(\d+)\s+(\d+)", text).groups()
        reading, writing, waiting = re.search(
            r"Reading:\s*(\d+)\s*Writing:\s*(\d+)\s*Waiting:\s*(\d+)", text).groups()
    except (OSError, AttributeError, ValueError):
        return "# TYPE nginx_up gauge\nnginx_up 0\n"
    lines = ["# TYPE nginx_up gauge\nnginx_up 1\n"]
    for name, kind, value in (
            ("connections_active", "gauge", active), ("connections_reading", "gauge", reading),
            ("connections_writing", "gauge", writing), ("connections_waiting", "gauge", waiting),
            ("connections_accepted_total", "counter", accepts),
            ("connections_handled_total", "counter", handled),
            ("http_requests_total", "counter", requests)):
        lines.append(f"# TYPE nginx_{name} {kind}\nnginx_{name} {value}\n")
    return "".join(lines)
