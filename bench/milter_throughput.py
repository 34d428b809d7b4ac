"""Throughput of a real Postfix on loopback with `postwarden milter` against the
same Postfix alone, in one run: typical messages (plain text of a few
kilobytes, a reply with a quoted thread, one in ten with a 100 kB attachment,
one in ten flagged by a rule) submitted over parallel SMTP sessions, timed
from the first submission until the sink has every accepted message.

    python3 bench/milter_throughput.py --postwarden build/postwarden [--messages 400] [--sessions 8]

A benchmark, not a test: it prints both rates and their ratio and fails only
when a run loses or duplicates a message.
"""

import argparse
import base64
import concurrent.futures
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "milter"))
import harness  # noqa: E402
import milter_test  # noqa: E402


def typical(n):
    """(tag, bytes, envelope recipients, flagged) of the n-th message."""
    tag = "bench-%d" % n
    # Each its own text: copies of one flagged message would be resends.
    words = ("The figures for the quarter are in the shared folder; "
             "please look before Thursday's meeting. ") * 30 + "(%s)" % tag
    if n % 10 == 9:
        return tag, milter_test.message(tag, to="partner@other.example", body=words + "\r\n"), \
            ["partner@other.example"], True
    if n % 10 == 5:
        blob = base64.encodebytes(os.urandom(75000)).decode().replace("\n", "\r\n")
        body = words + "\r\n"
        sent = milter_test.message(tag, body=body, attachment="report-%d.pdf" % n)
        sent = sent.replace(b"AAECAw==\r\n", blob.encode())
        return tag, sent, ["bob@corp.example", "carol@corp.example"], False
    quoted = "".join("> %s\r\n" % line for line in [words[:70]] * 40)
    return tag, milter_test.message(tag, body=words + "\r\n\r\n" + quoted), \
        ["bob@corp.example"], False


def run(folder, postwarden, socket, messages, sessions, round_):
    """Messages a second through Postfix, with the milter on `socket` ("unix",
    "inet") or without one (None)."""
    sink = harness.Sink()
    milter = None
    with_milter = socket is not None
    try:
        if with_milter:
            home = milter_test.make_home(folder, "home-%s-%d" % (socket, round_))
            milter = harness.Milter(postwarden, home, unix=socket == "unix")
        postfix = harness.Postfix(os.path.join(folder, "postfix-%s-%d" % (socket, round_)),
                                  sink.port, milter.address if milter else None)
        try:
            jobs = [typical(n) for n in range(messages)]
            expected = [tag for tag, _m, _r, flagged in jobs if not (flagged and with_milter)]
            start = time.monotonic()
            with concurrent.futures.ThreadPoolExecutor(max_workers=sessions) as pool:
                codes = list(pool.map(
                    lambda job: postfix.send(job[1], "alice@corp.example", job[2])[0], jobs))
            harness.wait_until(lambda: sink.count() >= len(expected), "every message",
                               seconds=600)
            seconds = time.monotonic() - start
            time.sleep(1)
            for tag in expected:
                if len(sink.with_header("X-Test", tag)) != 1:
                    raise SystemExit("%s arrived %d times" % (tag, len(sink.with_header("X-Test", tag))))
            if sink.count() != len(expected):
                raise SystemExit("the sink has %d messages, %d expected" % (sink.count(), len(expected)))
            return len(jobs) / seconds, codes
        finally:
            postfix.stop()
    finally:
        if milter:
            milter.stop()
        sink.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--postwarden", required=True)
    parser.add_argument("--messages", type=int, default=400)
    parser.add_argument("--sessions", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=2)
    options = parser.parse_args()
    milter_test.POSTWARDEN = os.path.abspath(options.postwarden)
    folder = tempfile.mkdtemp(prefix="pw-milter-bench-")
    os.chmod(folder, 0o755)
    try:
        rates = {None: [], "unix": [], "inet": []}
        refused = 0
        # Alternating, so that no side has the machine's warm caches alone.
        for round_ in range(options.rounds):
            for socket in rates:
                rate, codes = run(folder, options.postwarden, socket, options.messages,
                                  options.sessions, round_)
                rates[socket].append(rate)
                refused = codes.count(550) if socket else refused
        alone = max(rates[None])
        print("%d messages, %d sessions, %d refused by the rules; best of %d rounds"
              % (options.messages, options.sessions, refused, options.rounds))
        for socket, label in ((None, "Postfix alone"), ("unix", "Postfix + milter (unix)"),
                              ("inet", "Postfix + milter (inet)")):
            best = max(rates[socket])
            print("%-26s %6.1f messages/s  ratio %.2f  (rounds: %s)"
                  % (label, best, best / alone, ", ".join("%.1f" % r for r in rates[socket])))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
