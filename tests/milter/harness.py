"""A real Postfix from Debian, started on loopback in a throw-away folder, with
`postwarden milter` as its filter and an SMTP sink (aiosmtpd) as the server it
relays everything to; and a PostgreSQL cluster made with initdb for approvals
shared by two of them. Everything stops when the test ends, passed or not."""

import os
import pwd
import shutil
import signal
import smtplib
import subprocess
import sys
import threading
import time

POSTFIX_DAEMONS = "/usr/lib/postfix/sbin"

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from loopback import free_port, wait_for_port  # noqa: E402,F401


def wait_until(condition, what, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("waited %d s for %s" % (seconds, what))


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


class Sink:
    """An SMTP server on loopback that keeps every message it is given, as the
    bytes that came (dot-unstuffed), with their envelope."""

    def __init__(self):
        from aiosmtpd.controller import Controller

        self.messages = []
        self.lock = threading.Lock()
        sink = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                with sink.lock:
                    sink.messages.append((envelope.mail_from, list(envelope.rcpt_tos),
                                          bytes(envelope.original_content)))
                return "250 OK"

        self.port = free_port()
        self.controller = Controller(Handler(), hostname="127.0.0.1", port=self.port)
        self.controller.start()

    def with_header(self, name, value):
        """The messages whose header has `name: value`."""
        needle = ("\r\n%s: %s\r\n" % (name, value)).encode()
        with self.lock:
            return [m for m in self.messages if needle in b"\r\n" + m[2].split(b"\r\n\r\n")[0] + b"\r\n"]

    def count(self):
        with self.lock:
            return len(self.messages)

    def close(self):
        self.controller.stop()


class Milter:
    """`postwarden milter` over `home`, on an inet socket of loopback, or with
    `unix` on a Unix socket in a folder of the postfix group (set-group-ID, so
    that the socket is the group's too), as a packaged install has it.
    `address` is what Postfix is told."""

    def __init__(self, postwarden, home, extra=(), unix=False):
        self.postwarden, self.home, self.extra = postwarden, home, list(extra)
        self.port = free_port()
        self.socket = None
        if unix:
            folder = os.path.join(home, "socket")
            os.makedirs(folder)
            os.chown(folder, 0, pwd.getpwnam("postfix").pw_gid)
            os.chmod(folder, 0o2750)
            os.chmod(home, 0o755)
            self.socket = os.path.join(folder, "milter.sock")
        self.listen = ("unix:" + self.socket) if unix else "inet:%d@127.0.0.1" % self.port
        self.address = ("unix:" + self.socket) if unix else "inet:127.0.0.1:%d" % self.port
        self.process = None
        self.start()

    def start(self):
        log = os.path.join(self.home, "postwarden.log")
        before = read(log).count("Milter: listening") if os.path.exists(log) else 0
        self.log = open(os.path.join(self.home, "milter-stderr"), "ab")
        self.process = subprocess.Popen(
            [self.postwarden, "--home", self.home, "milter", "--listen", self.listen] +
            self.extra, stdout=self.log, stderr=self.log)
        # Listening once its log says so: a socket left by the last run, or
        # one whose mode is not yet set, is not it.
        wait_until(lambda: self.process.poll() is not None or (
            os.path.exists(log) and read(log).count("Milter: listening") > before),
            "the milter listening")
        if self.process.poll() is not None:
            raise RuntimeError("the milter exited with status %d" % self.process.returncode)
        if not self.socket:
            wait_for_port(self.port, self.process)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()

    def send_signal(self, sig):
        self.process.send_signal(sig)

    def sends(self):
        """The Send: records of the log, one a message."""
        path = os.path.join(self.home, "postwarden.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\n").split("\t", 5)[5] for line in f
                    if "\tSend: " in line]


class Postfix:
    """One Postfix instance: its own configuration and queue folders, SMTP on a
    loopback port, every message relayed to `relay_port` on loopback, filtered
    by the milter at `milter` (e.g. "inet:127.0.0.1:PORT"), or by none."""

    def __init__(self, folder, relay_port, milter=None, default_action="tempfail", extra=None):
        self.folder = folder
        self.config = os.path.join(folder, "etc")
        os.makedirs(self.config)
        self.port = free_port()
        self.log = os.path.join(folder, "maillog")
        queue = os.path.join(folder, "queue")
        data = os.path.join(folder, "data")
        main = {
            "compatibility_level": "3.6",
            "queue_directory": queue,
            "data_directory": data,
            "mail_owner": "postfix",
            "setgid_group": "postdrop",
            "myhostname": "mail.corp.example",
            "mydomain": "corp.example",
            "myorigin": "corp.example",
            "mydestination": "",
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            "mynetworks": "127.0.0.0/8",
            "relayhost": "[127.0.0.1]:%d" % relay_port,
            "smtp_host_lookup": "native",
            "smtp_dns_support_level": "disabled",
            "smtpd_relay_restrictions": "permit_mynetworks, reject",
            "smtputf8_enable": "no",
            "alias_maps": "",
            "alias_database": "",
            "local_recipient_maps": "",
            "biff": "no",
            "maillog_file": self.log,
            "maillog_file_prefixes": folder,
            "message_size_limit": "52428800",
            "default_process_limit": "120",
            "smtpd_client_connection_count_limit": "0",
            "smtpd_client_connection_rate_limit": "0",
            "smtpd_client_message_rate_limit": "0",
            "anvil_rate_time_unit": "60s",
            "queue_run_delay": "1s",
            "minimal_backoff_time": "1s",
            "maximal_backoff_time": "2s",
            "smtpd_banner": "$myhostname ESMTP",
        }
        if milter:
            main.update({
                "smtpd_milters": milter,
                "non_smtpd_milters": milter,
                "milter_default_action": default_action,
                "milter_connect_timeout": "10s",
            })
        main.update(extra or {})
        with open(os.path.join(self.config, "main.cf"), "w") as f:
            for key, value in main.items():
                f.write("%s = %s\n" % (key, value))
        services = [
            ("127.0.0.1:%d" % self.port, "inet", "n", "-", "n", "-", "-", "smtpd"),
            ("pickup", "unix", "n", "-", "n", "60", "1", "pickup"),
            ("cleanup", "unix", "n", "-", "n", "-", "0", "cleanup"),
            ("qmgr", "unix", "n", "-", "n", "300", "1", "qmgr"),
            ("rewrite", "unix", "-", "-", "n", "-", "-", "trivial-rewrite"),
            ("bounce", "unix", "-", "-", "n", "-", "0", "bounce"),
            ("defer", "unix", "-", "-", "n", "-", "0", "bounce"),
            ("trace", "unix", "-", "-", "n", "-", "0", "bounce"),
            ("verify", "unix", "-", "-", "n", "-", "1", "verify"),
            ("flush", "unix", "n", "-", "n", "1000?", "0", "flush"),
            ("proxymap", "unix", "-", "-", "n", "-", "-", "proxymap"),
            ("smtp", "unix", "-", "-", "n", "-", "-", "smtp"),
            ("relay", "unix", "-", "-", "n", "-", "-", "smtp"),
            ("showq", "unix", "n", "-", "n", "-", "-", "showq"),
            ("error", "unix", "-", "-", "n", "-", "-", "error"),
            ("retry", "unix", "-", "-", "n", "-", "-", "error"),
            ("discard", "unix", "-", "-", "n", "-", "-", "discard"),
            ("local", "unix", "-", "n", "n", "-", "-", "local"),
            ("anvil", "unix", "-", "-", "n", "-", "1", "anvil"),
            ("scache", "unix", "-", "-", "n", "-", "1", "scache"),
            ("postlog", "unix-dgram", "n", "-", "n", "-", "1", "postlogd"),
        ]
        with open(os.path.join(self.config, "master.cf"), "w") as f:
            for service in services:
                f.write(" ".join(service) + "\n")
        os.makedirs(queue)
        os.makedirs(data)
        postfix_user = pwd.getpwnam("postfix")
        os.chown(data, postfix_user.pw_uid, postfix_user.pw_gid)
        self.postfix("check")
        self.postfix("start")
        wait_for_port(self.port)

    def postfix(self, *args):
        # Postfix says what went wrong on its terminal, or in its log.
        result = subprocess.run(["script", "-qec", " ".join(["postfix", "-c", self.config] +
                                                           list(args)), "/dev/null"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            raise RuntimeError("postfix %s: %s" % (" ".join(args), result.stdout.decode()))

    def stop(self):
        subprocess.run(["postfix", "-c", self.config, "stop"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The master waits for its children; nothing of it may outlive the test.
        pid_file = os.path.join(self.folder, "queue", "pid", "master.pid")
        deadline = time.monotonic() + 10
        while os.path.exists(pid_file) and time.monotonic() < deadline:
            time.sleep(0.05)

    def queue_empty(self):
        queue = os.path.join(self.folder, "queue")
        for sub in ("incoming", "active", "deferred", "maildrop"):
            for _root, _dirs, files in os.walk(os.path.join(queue, sub)):
                if files:
                    return False
        return True

    def send(self, message, sender, recipients, login=None):
        """One SMTP session with one message: (code, text) of the answer to
        its data, or of the first command refused."""
        with smtplib.SMTP("127.0.0.1", self.port, timeout=60) as smtp:
            try:
                if login:
                    smtp.login(*login)
                smtp.sendmail(sender, recipients, message)
            except (smtplib.SMTPDataError, smtplib.SMTPSenderRefused) as e:
                return e.smtp_code, e.smtp_error.decode(errors="replace")
            except smtplib.SMTPRecipientsRefused as e:
                code, text = list(e.recipients.values())[0]
                return code, text.decode(errors="replace")
            return 250, ""


# Debian's Sendmail, unpacked (not installed: it and Postfix exclude each
# other) by scripts/setup.sh.
SENDMAIL_ROOT = "/opt/postwarden-tests/sendmail"


class Sendmail:
    """Sendmail as a daemon on a loopback port, configured from an mc file as
    an administrator does (m4 and Debian's sendmail-cf), the milter at
    `milter` named by INPUT_MAIL_FILTER exactly as the README says, every
    message relayed to `relay_port` on loopback. Sendmail waits a minute at
    start on a host name it cannot qualify, so it runs in namespaces of its
    own where the machine is mail.corp.example."""

    def __init__(self, folder, relay_port, milter):
        self.folder = folder
        os.makedirs(folder)
        self.port = free_port()
        queue = os.path.join(folder, "queue")
        os.makedirs(queue, 0o700)
        hosts = os.path.join(folder, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1 mail.corp.example mail localhost\n")
        cf_folder = os.path.join(SENDMAIL_ROOT, "usr/share/sendmail/cf")
        mc = "\n".join([
            "divert(0)dnl",
            "include(`%s/m4/cf.m4')dnl" % cf_folder,
            "OSTYPE(`linux')dnl",
            "define(`QUEUE_DIR', `%s')dnl" % queue,
            "define(`confPID_FILE', `%s/sendmail.pid')dnl" % folder,
            "define(`ALIAS_FILE', `')dnl",
            "define(`STATUS_FILE', `')dnl",
            "define(`confHELP_FILE', `')dnl",
            "define(`confDONT_PROBE_INTERFACES', `True')dnl",
            "define(`confDOMAIN_NAME', `mail.corp.example')dnl",
            "define(`RELAY_MAILER_ARGS', `TCP $h %d')dnl" % relay_port,
            "FEATURE(`promiscuous_relay')dnl",
            "FEATURE(`accept_unresolvable_domains')dnl",
            "FEATURE(`nocanonify')dnl",
            "DAEMON_OPTIONS(`Port=%d, Addr=127.0.0.1, Name=MTA')dnl" % self.port,
            "INPUT_MAIL_FILTER(`postwarden', `S=%s, F=T, T=S:30s;R:60s;E:5m')dnl" % milter,
            "MAILER(`smtp')dnl",
            # Everything to the sink, whatever its domain.
            "LOCAL_NET_CONFIG",
            "R$* < @ $* > $*\t$#relay $@ [127.0.0.1] $: $1 < @ $2 > $3",
            ""])
        made = subprocess.run(["m4"], input=mc, capture_output=True, text=True)
        if made.returncode != 0:
            raise RuntimeError("m4: " + made.stderr)
        cf = os.path.join(folder, "sendmail.cf")
        with open(cf, "w") as f:
            f.write(made.stdout)
        self.output = open(os.path.join(folder, "output"), "wb")
        self.process = subprocess.Popen(
            ["unshare", "--mount", "--uts", "sh", "-c",
             'mount --bind "$0" /etc/hosts && hostname mail && exec "$@"', hosts,
             os.path.join(SENDMAIL_ROOT, "usr/libexec/sendmail/sendmail"), "-C", cf, "-bD",
             "-O", "DeliveryMode=background"],
            stdout=self.output, stderr=subprocess.STDOUT)
        try:
            wait_for_port(self.port, self.process)
        except RuntimeError:
            self.stop()
            raise RuntimeError("sendmail did not start: " +
                               read(os.path.join(folder, "output")))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.output.close()

    send = Postfix.send


class DovecotAuth:
    """Dovecot's authentication service alone, for Postfix's SASL: one user
    with a plain password, on a loopback port."""

    def __init__(self, folder, user, password):
        self.folder = os.path.join(folder, "dovecot")
        self.port = free_port()
        os.makedirs(self.folder)
        os.chmod(self.folder, 0o755)
        with open(os.path.join(self.folder, "passwd"), "w") as f:
            f.write("%s:{PLAIN}%s\n" % (user, password))
        internal = "dovecot" if os.geteuid() == 0 else pwd.getpwuid(os.geteuid()).pw_name
        conf = os.path.join(self.folder, "dovecot.conf")
        with open(conf, "w") as f:
            f.write(f"""\
base_dir = {self.folder}/run
state_dir = {self.folder}/state
log_path = {self.folder}/dovecot.log
protocols =
default_internal_user = {internal}
default_login_user = {internal}
disable_plaintext_auth = no
auth_mechanisms = plain login
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {self.folder}/passwd
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home=/nonexistent
}}
service auth {{
  inet_listener {{
    address = 127.0.0.1
    port = {self.port}
  }}
}}
""")
        binary = shutil.which("dovecot") or "/usr/sbin/dovecot"
        self.process = subprocess.Popen([binary, "-F", "-c", conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port, self.process)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class PostgreSQL:
    """A PostgreSQL cluster of its own, made with initdb in `folder` and run by
    the postgres user on a loopback port, trusting local connections."""

    def __init__(self, folder):
        binaries = sorted(d for d in os.listdir("/usr/lib/postgresql") if d[0].isdigit())
        if not binaries:
            raise RuntimeError("PostgreSQL is not installed (Debian package postgresql)")
        bin_dir = os.path.join("/usr/lib/postgresql", binaries[-1], "bin")
        self.folder = os.path.join(folder, "pgdata")
        self.port = free_port()
        user = pwd.getpwnam("postgres")
        os.makedirs(self.folder)
        os.chown(folder, user.pw_uid, user.pw_gid)
        os.chown(self.folder, user.pw_uid, user.pw_gid)

        def as_postgres():
            os.setgid(user.pw_gid)
            os.setuid(user.pw_uid)

        subprocess.run([os.path.join(bin_dir, "initdb"), "-D", self.folder, "-A", "trust",
                        "-U", "postgres"], check=True, preexec_fn=as_postgres,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd="/")
        self.process = subprocess.Popen(
            [os.path.join(bin_dir, "postgres"), "-D", self.folder, "-p", str(self.port),
             "-c", "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + self.folder],
            preexec_fn=as_postgres, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            cwd="/")
        wait_for_port(self.port, self.process)
        self.url = "postgresql://postgres@127.0.0.1:%d/postgres" % self.port
        self.psql = os.path.join(bin_dir, "psql")

    def sql(self, statement):
        result = subprocess.run([self.psql, "-X", "-A", "-t", "-d", self.url, "-c", statement],
                                check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return result.stdout.decode().strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
