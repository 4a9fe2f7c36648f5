"""What the scripted tests share: check() notes a failed case and lets the
script go on to the next, failures lists them for the exit status, and
wait_until() polls for a condition instead of sleeping a fixed time."""
import time

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return cond


def wait_until(cond, limit=30.0, step=0.05):
    """Whether cond() held within limit seconds."""
    end = time.monotonic() + limit
    while not cond() and time.monotonic() < end:
        time.sleep(step)
    return cond()
