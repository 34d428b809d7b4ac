"""Drives real terminal mail clients in tmux against the built postwarden command.

Every test gets a throw-away folder holding the HOME the client sees, the
postwarden home, and two small programs:

- record-sendmail: the client's sendmail program. It saves what the client
  handed over (arguments and standard input) as handed-N.args/.input, then
  execs postwarden sendmail with the same arguments and bytes, so the process
  the client waits for is postwarden itself.
- capture: the "real sendmail" postwarden runs when the send may go ahead. It
  saves its arguments and input as capture-N.args/.input and delivers nothing.

Each test also gets its own tmux server (a socket in that folder) with a fixed
100x30 pane, TERM=xterm-256color and no display. The screen is read back with
capture-pane and waited on by polling, with a deadline; a failed wait shows the
last screen. A test that needs a display (Claws Mail, Postwarden's own window)
starts a Display: an Xvfb of its own, driven with xdotool.

Run a test script as: test_script.py --postwarden BUILD/postwarden [unittest args]
"""

import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

COLUMNS = 100
ROWS = 30
DEFAULT_WAIT = 10.0
POLL_INTERVAL = 0.05
# ctest reports this exit status as "skipped" (SKIP_RETURN_CODE in CMakeLists.txt).
SKIP_STATUS = 77

# The clients see only the system's programs.
CLIENT_PATH = "/usr/local/bin:/usr/bin:/bin"

POSTWARDEN = None  # set by main() from --postwarden


def _write_program(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, 0o755)


class Sent:
    """What one program run received: its arguments and its standard input."""

    def __init__(self, args, data):
        self.args = args
        self.data = data

    def __repr__(self):
        return "Sent(args=%r, %d bytes)" % (self.args, len(self.data))


def _read_runs(folder, prefix):
    runs = []
    n = 1
    while os.path.exists(os.path.join(folder, "%s-%d.input" % (prefix, n))):
        with open(os.path.join(folder, "%s-%d.args" % (prefix, n)), "rb") as f:
            raw = f.read()
        with open(os.path.join(folder, "%s-%d.input" % (prefix, n)), "rb") as f:
            data = f.read()
        args = [a.decode("utf-8", "surrogateescape") for a in raw.split(b"\0")[:-1]]
        runs.append(Sent(args, data))
        n += 1
    return runs


# Saves what the program was given under the first free number N. The
# arguments are NUL-separated so that any argument round-trips exactly.
_SAVE_RUN = """n=1
while [ -e "$out/{prefix}-$n.input" ]; do n=$((n+1)); done
printf '%s\\0' "$@" > "$out/{prefix}-$n.args"
cat > "$out/{prefix}-$n.input"
"""


class Workspace:
    """The throw-away folders and programs of one test; removed by close()."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="pw-clients-")
        self.home = os.path.join(self.root, "home")
        self.pw_home = os.path.join(self.root, "postwarden")
        self.runs = os.path.join(self.root, "runs")
        self.maildir = os.path.join(self.root, "Mail")
        self.tmp = os.path.join(self.root, "tmp")
        for folder in (self.home, self.pw_home, self.runs, self.tmp):
            os.makedirs(folder)
        self.capture = os.path.join(self.root, "capture")
        _write_program(
            self.capture,
            "#!/bin/sh\nout=%s\n%s" % (shlex.quote(self.runs), _SAVE_RUN.format(prefix="capture")),
        )

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def environment(self, **extra):
        """A clean environment for anything the test starts: no display, no
        postwarden variables from the caller, this test's HOME."""
        env = {
            "HOME": self.home,
            "PATH": CLIENT_PATH,
            "LANG": "C.UTF-8",
            "TERM": "xterm-256color",
            "TMPDIR": self.tmp,
            "XDG_RUNTIME_DIR": self.tmp,
        }
        env.update(extra)
        return env

    def postwarden(self, *args, check=True):
        """Runs postwarden with this test's home; returns the finished process."""
        result = subprocess.run(
            [POSTWARDEN, "--home", self.pw_home, *args],
            env=self.environment(),
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=30,
        )
        if check and result.returncode != 0:
            raise AssertionError(
                "postwarden %s exited %d: %s" % (" ".join(args), result.returncode, result.stderr)
            )
        return result

    def settings(self, **values):
        """Sets the module's settings. The first check seeds every setting
        unless PromptForOutsideDomainsWanted is there, so it is always set."""
        values = {"PromptForOutsideDomainsWanted": 0, **values}
        for key, value in values.items():
            self.postwarden("settings", "set", key, str(value))

    def no_rules(self):
        """Nothing asks: no rule is on, not even the question on every send."""
        self.settings(PromptForAnySendWanted=0)

    def only_outside_domains_rule(self, inside="corp.example"):
        """Asks only when a recipient is outside `inside`."""
        self.settings(
            PromptForAnySendWanted=0,
            PromptForOutsideDomainsWanted=1,
            ListOfOutsideDomains=inside,
        )

    def sendmail_program(self, answers=None):
        """The client's sendmail program: records what it is handed, then
        becomes `postwarden sendmail`, answering `answers` when given."""
        path = os.path.join(self.root, "record-sendmail")
        command = [POSTWARDEN, "--home", self.pw_home, "sendmail", "--sendmail", self.capture]
        if answers:
            command += ["--answers", answers]
        _write_program(
            path,
            "#!/bin/sh\nout=%s\n%sexec %s \"$@\" < \"$out/handed-$n.input\"\n"
            % (
                shlex.quote(self.runs),
                _SAVE_RUN.format(prefix="handed"),
                " ".join(shlex.quote(c) for c in command),
            ),
        )
        return path

    def handed(self):
        """What the client handed to its sendmail program, one entry per send."""
        return _read_runs(self.runs, "handed")

    def delivered(self):
        """What reached the real sendmail, one entry per run."""
        return _read_runs(self.runs, "capture")

    def make_maildir(self, name, messages=()):
        """A Maildir under Mail/ holding `messages` (texts) as read mail."""
        folder = os.path.join(self.maildir, name)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        for i, text in enumerate(messages, 1):
            with open(os.path.join(folder, "cur", "%d.pw:2,S" % (1700000000 + i)), "w") as f:
                f.write(text)
        return folder


def inbox_message(n):
    return (
        "From: colleague%d@corp.example\nTo: me@corp.example\nSubject: Inbox message %d\n"
        "Date: Mon, 1 Jan 2024 10:0%d:00 +0000\nMessage-ID: <inbox-%d@corp.example>\n\n"
        "Text %d.\n" % (n, n, n, n, n)
    )


class Terminal:
    """One pane of a tmux server of our own; close() kills the server."""

    def __init__(self, workspace):
        self.workspace = workspace
        self.socket = os.path.join(workspace.root, "tmux.sock")
        self.config = os.path.join(workspace.root, "tmux.conf")
        self.status_file = os.path.join(workspace.root, "exit-status")
        with open(self.config, "w") as f:
            # The pane stays after its program ends so that its last screen can
            # still be read.
            f.write(
                "set -g default-terminal xterm-256color\n"
                "set -g status off\n"
                "set -g remain-on-exit on\n"
                "set -g history-limit 2000\n"
            )
        self.started = False
        self.test_name = "?"

    def _tmux(self, *args, check=True):
        result = subprocess.run(
            ["tmux", "-S", self.socket, "-f", self.config, *args],
            env=self.workspace.environment(),
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=10,
        )
        if check and result.returncode != 0:
            raise AssertionError("tmux %s: exit %d: %s" % (args[0], result.returncode,
                                                          result.stderr.strip()))
        return result

    def start(self, argv, cwd=None, env=None):
        """Starts `argv` in the pane, in `cwd`, with the workspace's
        environment plus `env`. Its exit status is kept for exit_status()."""
        extra = []
        for key, value in (env or {}).items():
            extra += ["-e", "%s=%s" % (key, value)]
        # A shell in front keeps the status in a file: tmux 3.3 sometimes
        # leaves an ended pane program unreaped, its status unknown.
        argv = ["/bin/sh", "-c", '"$@"; echo $? > "$0"', self.status_file, *argv]
        if os.path.exists(self.status_file):
            os.remove(self.status_file)  # that of a program started before
        self._tmux(
            "new-session", "-d", "-s", "t", "-x", str(COLUMNS), "-y", str(ROWS),
            "-c", cwd or self.workspace.root, *extra, "--", *argv,
        )
        self.started = True

    def close(self):
        if self.started:
            self._tmux("kill-server", check=False)
            # The killed server may still be ending when the next start()
            # asks for a session; without its socket, a new server starts.
            try:
                os.remove(self.socket)
            except FileNotFoundError:
                pass
            self.started = False

    def screen(self):
        """The pane's text as a person sees it, trailing blanks removed."""
        text = self._tmux("capture-pane", "-p", "-t", "t").stdout
        return "\n".join(line.rstrip() for line in text.split("\n")).rstrip("\n")

    def keys(self, *keys):
        """Presses keys (tmux key names such as Enter, Escape, C-l, or letters)."""
        self._tmux("send-keys", "-t", "t", *keys)

    def nudge(self):
        """A resize there and back: the pane's program gets SIGWINCH and
        redraws, without a key that it could take as a command."""
        self._tmux("resize-window", "-t", "t", "-x", str(COLUMNS + 1), "-y", str(ROWS))
        time.sleep(0.1)
        self._tmux("resize-window", "-t", "t", "-x", str(COLUMNS), "-y", str(ROWS))

    def exit_status(self):
        """The program's exit status once it has ended, else None."""
        try:
            with open(self.status_file) as f:
                text = f.read()
        except FileNotFoundError:
            return None
        return int(text) if text.endswith("\n") else None

    def wait_for(self, condition, what, timeout=DEFAULT_WAIT, nudge=False):
        """Polls the screen until `condition` (a text on the screen, or a
        function of the screen) holds; returns that screen. Fails naming
        `what` with the last screen when the deadline passes. With `nudge` the
        program is asked to redraw on every poll round of a second."""
        test = condition if callable(condition) else (lambda s: condition in s)
        deadline = time.monotonic() + timeout
        last_nudge = time.monotonic()
        while True:
            screen = self.screen()
            if test(screen):
                self._keep(what, screen)
                return screen
            if time.monotonic() > deadline:
                raise AssertionError(
                    "waited %.0f s for %s; the screen was:\n%s" % (timeout, what, framed(screen))
                )
            if nudge and time.monotonic() - last_nudge > 1.0:
                self.nudge()
                last_nudge = time.monotonic()
            time.sleep(POLL_INTERVAL)

    def _keep(self, what, screen):
        """With PW_SCREENSHOTS set, each screen waited for is appended to
        terminal-screens.txt there, named by the test and what was awaited."""
        folder = os.environ.get("PW_SCREENSHOTS")
        if folder:
            with open(os.path.join(folder, "terminal-screens.txt"), "a") as f:
                f.write("%s: %s\n%s\n" % (self.test_name, what, framed(screen)))

    def wait_for_exit(self, timeout=DEFAULT_WAIT):
        """Waits for the program to end; returns its exit status."""
        deadline = time.monotonic() + timeout
        while True:
            status = self.exit_status()
            if status is not None:
                return status
            if time.monotonic() > deadline:
                raise AssertionError(
                    "the program did not end within %.0f s; the screen was:\n%s"
                    % (timeout, framed(self.screen()))
                )
            time.sleep(POLL_INTERVAL)


class Display:
    """An X server of our own (Xvfb, 1280x800) for clients that show windows:
    their windows found and driven with xdotool, the screen photographed with
    ImageMagick's import when PW_SCREENSHOTS names a folder. close() stops it."""

    def __init__(self, workspace):
        self.workspace = workspace
        # Xvfb picks a free display number and writes it to the pipe.
        readable, writable = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(writable), "-screen", "0", "1280x800x24",
             "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(writable,),
        )
        os.close(writable)
        with os.fdopen(readable) as numbers:
            self.name = ":" + numbers.readline().strip()
        if self.name == ":":
            self.close()
            raise AssertionError("Xvfb did not start")

    def close(self):
        self.xvfb.terminate()
        self.xvfb.wait(10)

    def environment(self, **extra):
        return self.workspace.environment(DISPLAY=self.name, **extra)

    def _xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.environment(), capture_output=True,
                              text=True, timeout=10)

    def windows(self, title):
        """The visible windows whose title matches the regular expression `title`."""
        return self._xdotool("search", "--onlyvisible", "--name", title).stdout.split()

    def wait_for_window(self, title, what, timeout=DEFAULT_WAIT, screenshot=None):
        """Waits for a visible window whose title matches `title`; returns its
        id, after saving the screen as `screenshot`.png when asked to."""
        deadline = time.monotonic() + timeout
        while not self.windows(title):
            if time.monotonic() > deadline:
                raise AssertionError("waited %.0f s for %s" % (timeout, what))
            time.sleep(POLL_INTERVAL)
        time.sleep(0.3)  # drawn, not only mapped
        if screenshot:
            self.screenshot(screenshot)
        return self.windows(title)[0]

    def wait_until_gone(self, title, what, timeout=DEFAULT_WAIT, window=None):
        """Waits until no visible window matches `title`, or only `window` is
        no longer among them."""
        deadline = time.monotonic() + timeout
        while (window in self.windows(title)) if window else self.windows(title):
            if time.monotonic() > deadline:
                raise AssertionError("waited %.0f s for %s to go" % (timeout, what))
            time.sleep(POLL_INTERVAL)

    def keys(self, window, *keys):
        """Gives `window` the keyboard (there is no window manager to) and
        presses `keys` (xdotool names: y, Return, ctrl+Return)."""
        self._xdotool("windowfocus", "--sync", window)
        self._xdotool("key", "--clearmodifiers", *keys)

    def screenshot(self, name):
        folder = os.environ.get("PW_SCREENSHOTS")
        if folder:
            subprocess.run(["import", "-window", "root", os.path.join(folder, name + ".png")],
                           env=self.environment(), check=True, timeout=30)


def framed(screen):
    """The screen in a box, so that its blank lines and edges show in a report."""
    rule = "+" + "-" * COLUMNS + "+"
    return "\n".join([rule] + ["|" + line for line in screen.split("\n")] + [rule])


class ClientTestCase(unittest.TestCase):
    """A test with its own workspace and terminal, both gone afterwards. On a
    failure the last screen is part of the message (see Terminal.wait_for)."""

    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.close)
        self.term = Terminal(self.ws)
        self.term.test_name = self.id()
        self.addCleanup(self.term.close)

    def assertNothingDelivered(self):
        self.assertEqual(self.ws.delivered(), [], "the real sendmail was run")

    def assertDeliveredAsHanded(self, send=-1):
        """The last (or given) send reached the real sendmail with the bytes
        and arguments the client handed over."""
        handed = self.ws.handed()
        delivered = self.ws.delivered()
        self.assertTrue(handed, "the client never ran its sendmail program")
        self.assertTrue(delivered, "nothing reached the real sendmail")
        self.assertEqual(delivered[-1].data, handed[send].data, "the bytes were changed")
        self.assertEqual(delivered[-1].args, handed[send].args, "the arguments were changed")


def main(programs):
    """Entry point of a test script: takes --postwarden PATH, skips when one
    of `programs` (names on PATH, or paths) is not installed, then runs the
    unittest cases."""
    global POSTWARDEN
    argv = sys.argv[1:]
    if "--postwarden" in argv:
        at = argv.index("--postwarden")
        POSTWARDEN = os.path.abspath(argv[at + 1])
        del argv[at : at + 2]
    if not POSTWARDEN or not os.access(POSTWARDEN, os.X_OK):
        sys.exit("usage: %s --postwarden BUILD/postwarden [unittest options]" % sys.argv[0])
    missing = [
        p
        for p in ("tmux", *programs)
        if not (os.access(p, os.X_OK) if "/" in p else shutil.which(p, path=CLIENT_PATH))
    ]
    if missing:
        print("not installed: %s (scripts/setup.sh installs them)" % ", ".join(missing))
        sys.exit(SKIP_STATUS)
    unittest.main(argv=[sys.argv[0], *argv], verbosity=2)
