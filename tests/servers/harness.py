"""Real servers on loopback for the central-settings tests, each in a throw-away
folder and stopped when the test ends, passed or not: a certificate authority
made with openssl, Dovecot serving a Maildir over IMAP, an HTTPS (or HTTP)
server, and one that accepts connections and never answers. A server that
cannot be started fails the test; nothing here skips."""

import http.server
import os
import pwd
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from loopback import free_port, wait_for_port  # noqa: E402,F401


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class CertificateAuthority:
    """A CA of its own, and server certificates signed by it."""

    def __init__(self, folder, name):
        self.folder = folder
        self.name = name
        self.cert = os.path.join(folder, name + "-ca.pem")
        self.key = os.path.join(folder, name + "-ca.key")
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=Postwarden test CA " + name, "-keyout", self.key, "-out", self.cert)

    def issue(self, server, names=("IP:127.0.0.1", "DNS:localhost")):
        """(certificate, key) for a server of these names (127.0.0.1 and
        localhost unless told), the first also its common name."""
        base = os.path.join(self.folder, "%s-%s" % (self.name, server))
        ext = base + ".ext"
        with open(ext, "w") as f:
            f.write("subjectAltName=%s\n" % ",".join(names))
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes",
            "-subj", "/CN=" + names[0].split(":", 1)[1],
            "-keyout", base + ".key", "-out", base + ".csr")
        run("openssl", "x509", "-req", "-in", base + ".csr", "-CA", self.cert, "-CAkey", self.key,
            "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", base + ".pem")
        return base + ".pem", base + ".key"


class Dovecot:
    """Dovecot for one user (passwd-file) whose mail is a Maildir; IMAP with
    STARTTLS on `imap_port` and implicit TLS on `imaps_port`."""

    def __init__(self, folder, cert, key, user="alice", password="wonderland"):
        self.folder = os.path.join(folder, "dovecot")
        self.user, self.password = user, password
        self.imap_port, self.imaps_port = free_port(), free_port()
        self.mail = os.path.join(self.folder, "mail", user)
        self.process = None
        binary = shutil.which("dovecot") or "/usr/sbin/dovecot"
        if not os.path.exists(binary):
            raise RuntimeError("dovecot is not installed (Debian package dovecot-imapd)")
        self.binary = binary
        os.makedirs(self.mail)
        os.makedirs(os.path.join(self.folder, "home"))
        if os.geteuid() == 0:
            # Dovecot's own users for its processes; the mail belongs to nobody.
            internal, login, mail_user = "dovecot", "dovenull", "nobody"
        else:
            internal = login = mail_user = pwd.getpwuid(os.geteuid()).pw_name
        self.mail_uid = pwd.getpwnam(mail_user).pw_uid
        self.mail_gid = pwd.getpwnam(mail_user).pw_gid
        with open(os.path.join(self.folder, "passwd"), "w") as f:
            f.write("%s:{PLAIN}%s\n" % (user, password))
        self.conf = os.path.join(self.folder, "dovecot.conf")
        self.log = os.path.join(self.folder, "dovecot.log")
        with open(self.conf, "w") as f:
            f.write(f"""\
base_dir = {self.folder}/run
state_dir = {self.folder}/state
log_path = {self.log}
protocols = imap
listen = 127.0.0.1
ssl = yes
ssl_cert = <{cert}
ssl_key = <{key}
default_internal_user = {internal}
default_login_user = {login}
first_valid_uid = 1
disable_plaintext_auth = no
auth_mechanisms = plain login
mail_location = maildir:{self.folder}/mail/%u:LAYOUT=fs
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {self.folder}/passwd
}}
userdb {{
  driver = static
  args = uid={self.mail_uid} gid={self.mail_gid} home={self.folder}/home/%u
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {self.imap_port}
  }}
  inet_listener imaps {{
    address = 127.0.0.1
    port = {self.imaps_port}
    ssl = yes
  }}
}}
service stats {{
  unix_listener stats-writer {{
    mode = 0666
  }}
}}
""")

    def folder_path(self, mailbox):
        return os.path.join(self.mail, *mailbox.split("/"))

    def deliver(self, mailbox, subject, body, name):
        """Puts a message in `mailbox` (made when missing); `name` orders the
        messages as they were delivered."""
        path = self.folder_path(mailbox)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(path, sub), exist_ok=True)
        with open(os.path.join(path, "cur", name + ".test:2,"), "wb") as f:
            f.write(("From: it@corp.example\r\nTo: all@corp.example\r\n"
                     "Subject: %s\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
                     % subject).encode() + body.encode())

    def start(self):
        # Dovecot's login and mail processes run as other users: they must reach
        # the folder, and the test's own folder (made 0700) around it.
        os.chmod(os.path.dirname(self.folder), 0o755)
        os.chmod(self.folder, 0o755)
        for root, dirs, files in os.walk(os.path.join(self.folder, "mail")):
            for name in dirs + files:
                os.chown(os.path.join(root, name), self.mail_uid, self.mail_gid)
        os.chown(os.path.join(self.folder, "mail"), self.mail_uid, self.mail_gid)
        os.chown(os.path.join(self.folder, "home"), self.mail_uid, self.mail_gid)
        self.process = subprocess.Popen([self.binary, "-F", "-c", self.conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            wait_for_port(self.imap_port, self.process)
            wait_for_port(self.imaps_port, self.process)
        except RuntimeError as e:
            self.stop()
            raise RuntimeError("Dovecot did not start: %s\n%s" % (e, self.log_text())) from None

    def stop(self):
        if self.process is None:
            return
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.process.stderr:
            self.process.stderr.close()
        self.process = None

    def log_text(self):
        try:
            with open(self.log) as f:
                return f.read()
        except OSError:
            return ""


class _Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        route = self.server.routes.get(self.path)
        if route is None:
            self.send_error(404)
            return
        status, headers, body = route
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class _QuietServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gives up (an untrusted certificate, a body over its
        # limit) is what some tests are about.
        pass


class WebServer:
    """http.server in a thread; TLS when given a certificate. `routes` maps a
    path to (status, headers, body bytes)."""

    def __init__(self, routes, cert=None, key=None):
        self.server = _QuietServer(("127.0.0.1", 0), _Handler)
        self.server.routes = routes
        if cert:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "%s://127.0.0.1:%d%s" % ("https" if isinstance(self.server.socket, ssl.SSLSocket)
                                        else "http", self.port, path)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


class SilentServer:
    """Accepts every connection and never sends a byte."""

    def __init__(self):
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(8)
        self.port = self.socket.getsockname()[1]
        self.connections = []
        self.stopping = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopping:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            self.connections.append(connection)

    def stop(self):
        self.stopping = True
        self.socket.shutdown(socket.SHUT_RDWR)
        self.socket.close()
        self.thread.join()
        for connection in self.connections:
            connection.close()


class Postwarden:
    """The command in a home folder of its own, with HOME and NETRC there too."""

    def __init__(self, binary, folder):
        self.binary = binary
        self.home = os.path.join(folder, "pw-home")
        self.message = os.path.join(folder, "message.eml")
        with open(self.message, "w") as f:
            f.write("From: me@corp.example\r\nTo: you@corp.example\r\n"
                    "Subject: Hello\r\n\r\nHello.\r\n")
        self.env = dict(os.environ, HOME=folder, NETRC=os.path.join(folder, "netrc"))
        self.env.pop("POSTWARDEN_HOME", None)
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def netrc(self, text):
        with open(self.env["NETRC"], "w") as f:
            f.write(text)
        os.chmod(self.env["NETRC"], 0o600)

    def command(self, *args, check=True):
        result = subprocess.run([self.binary, "--home", self.home, *args], env=self.env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=60)
        if check and result.returncode != 0:
            raise AssertionError("postwarden %s: exit %d\n%s" % (" ".join(args),
                                                                   result.returncode,
                                                                   result.stderr))
        return result

    def set(self, key, value):
        self.command("settings", "set", key, value)

    def get(self, key):
        return self.command("settings", "get", key).stdout.strip()

    def send(self):
        """One send, answered yes; the seconds it took."""
        start = time.monotonic()
        self.command("check", "--answers", "yes", self.message)
        return time.monotonic() - start

    def log_records(self):
        """(source, message) of every record, in order."""
        records = []
        with open(os.path.join(self.home, "postwarden.log"), encoding="utf-8") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) == 6:
                    records.append((fields[4], fields[5]))
        return records

    def log_text(self):
        with open(os.path.join(self.home, "postwarden.log"), encoding="utf-8") as f:
            return f.read()

    def lines(self, source):
        return [message for s, message in self.log_records() if s == source]
