"""Memory of `postwarden milter` for large messages, against `postwarden check`
on the same message: a real Postfix on loopback hands the milter a message of
SIZE MB (a text part and a base64 attachment), and the milter's peak resident
memory (VmHWM of its filter process) is read after each; `check` is run on the
same bytes under /usr/bin/time. Then PARALLEL such messages at once, and
four more one after another.

    python3 bench/milter_memory.py --postwarden build/postwarden [--size 25] [--parallel 2]

A benchmark, not a test: it prints the figures and fails only when a message
is lost.
"""

import argparse
import base64
import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "milter"))
import harness  # noqa: E402
import milter_test  # noqa: E402


def large(tag, megabytes):
    blob = base64.encodebytes(os.urandom(megabytes * 3 * 1024 * 1024 // 4)).decode()
    sent = milter_test.message(tag, body="The archive, as promised (%s).\r\n" % tag,
                               attachment="archive-%s.zip" % tag)
    return sent.replace(b"AAECAw==\r\n", blob.replace("\n", "\r\n").encode())


def filter_process(watcher):
    """The filter: the milter's watching process's one child."""
    with open("/proc/%d/task/%d/children" % (watcher, watcher)) as f:
        return int(f.read().split()[0])


def peak_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def resident_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--postwarden", required=True)
    parser.add_argument("--size", type=int, default=25)
    parser.add_argument("--parallel", type=int, default=2)
    args = parser.parse_args()
    postwarden = os.path.abspath(args.postwarden)
    milter_test.POSTWARDEN = postwarden
    folder = tempfile.mkdtemp(prefix="pw-milter-memory-")
    os.chmod(folder, 0o755)  # Postfix's own user works in its queue there
    sink = harness.Sink()
    milter = postfix = None
    try:
        home = milter_test.make_home(folder, "home")
        milter = harness.Milter(postwarden, home)
        postfix = harness.Postfix(os.path.join(folder, "postfix"), sink.port, milter.address)
        child = filter_process(milter.process.pid)
        idle = peak_mb(child)

        one = large("one", args.size)
        code, text = postfix.send(one, "alice@corp.example", ["bob@corp.example"])
        assert code == 250, (code, text)
        harness.wait_until(lambda: sink.count() == 1, "the message at the sink", 120)
        after_one = peak_mb(child)

        messages = [large("p%d" % n, args.size) for n in range(args.parallel)]
        with concurrent.futures.ThreadPoolExecutor(args.parallel) as pool:
            codes = list(pool.map(lambda m: postfix.send(m, "alice@corp.example",
                                                         ["bob@corp.example"])[0], messages))
        assert codes == [250] * args.parallel, codes
        harness.wait_until(lambda: sink.count() == 1 + args.parallel, "every message", 300)
        after_parallel = peak_mb(child)

        # Then more, one after another: memory taken for one is given back.
        more = 4
        for n in range(more):
            code, text = postfix.send(large("s%d" % n, args.size), "alice@corp.example",
                                      ["bob@corp.example"])
            assert code == 250, (code, text)
        harness.wait_until(lambda: sink.count() == 1 + args.parallel + more, "the rest", 300)
        after_more = peak_mb(child)
        resident = resident_mb(child)

        path = os.path.join(folder, "one.eml")
        with open(path, "wb") as f:
            f.write(one)
        timed = subprocess.run(["/usr/bin/time", "-f", "%M", postwarden, "--home", home,
                                "check", "--answers", "yes", path],
                               capture_output=True, text=True)
        check_mb = int(timed.stderr.strip().splitlines()[-1]) / 1024

        print("message: %.1f MB" % (len(one) / 1e6))
        print("milter peak, idle:                      %6.1f MB" % idle)
        print("milter peak, after one message:         %6.1f MB" % after_one)
        print("milter peak, after %d at once:           %6.1f MB" % (args.parallel,
                                                                    after_parallel))
        print("milter peak, after %d more one by one:   %6.1f MB" % (more, after_more))
        print("milter resident at the end:             %6.1f MB" % resident)
        print("check on the same message (peak):       %6.1f MB" % check_mb)
    finally:
        if postfix:
            postfix.stop()
        if milter:
            milter.stop()
        sink.close()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
