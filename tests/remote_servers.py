"""Real servers on loopback for the tests of remote files (and the remote
benchmark): nginx over HTTP and HTTPS, a fault-injecting proxy of our own in
front of it, and moto's S3 server with its IAM authentication on."""

import http.client
import http.server
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"server exited with {process.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


NGINX_CONF = """\
daemon off;
{user}
pid {d}/nginx.pid;
error_log {d}/error.log;
worker_processes 2;
events {{ worker_connections 512; }}
http {{
  log_format counts '$uri $status $body_bytes_sent';
  access_log {d}/access.log counts;
  client_body_temp_path {d}/t1; proxy_temp_path {d}/t2; fastcgi_temp_path {d}/t3;
  uwsgi_temp_path {d}/t4; scgi_temp_path {d}/t5;
  keepalive_requests 1000000;
  server {{
    listen 127.0.0.1:{http};
    listen 127.0.0.1:{https} ssl;
    ssl_certificate {d}/cert.pem;
    ssl_certificate_key {d}/key.pem;
    root {root};
    location /norange/ {{ alias {root}/; max_ranges 0; }}
    location /gs/ {{
      if ($http_authorization != "Bearer {token}") {{ return 401; }}
      alias {root}/;
    }}
  }}
}}
"""


class Nginx:
    """nginx serving `root`: http_url/https_url, /norange/ (Range ignored)
    and /gs/ (only with the bearer token TOKEN). Its access log counts the
    requests and the body bytes sent."""

    TOKEN = "test-token-1"

    def __init__(self, root, work):
        self.root, self.work = os.fspath(root), os.fspath(work)
        self.cert = os.path.join(self.work, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", os.path.join(self.work, "key.pem"), "-out", self.cert,
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True)
        self.port, self.tls_port = free_port(), free_port()
        conf = os.path.join(self.work, "nginx.conf")
        with open(conf, "w") as out:
            out.write(NGINX_CONF.format(d=self.work, root=self.root, http=self.port, https=self.tls_port,
                                        token=self.TOKEN, user="user root;" if os.geteuid() == 0 else ""))
        self.process = subprocess.Popen([shutil.which("nginx") or "/usr/sbin/nginx", "-c", conf, "-p", self.work],
                                        stderr=subprocess.DEVNULL)
        wait_for_port(self.port, self.process)
        self.http_url = f"http://127.0.0.1:{self.port}"
        self.https_url = f"https://127.0.0.1:{self.tls_port}"

    def log(self):
        """(uri, status, body bytes) of every request so far."""
        with open(os.path.join(self.work, "access.log")) as log:
            return [(uri, int(status), int(sent)) for uri, status, sent in (line.split() for line in log)]

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class FaultProxy(http.server.ThreadingHTTPServer):
    """An HTTP proxy to `upstream` (host:port) that adds `delay` seconds to
    each request and takes its next faults from `faults`: "503", "drop" (the
    connection closed without an answer), "short" (half the body, then the
    connection closed). It counts requests and body bytes per path. Bodies
    are streamed, so a client that stops reading costs only what it read."""

    daemon_threads = True
    request_queue_size = 128

    def __init__(self, upstream, delay=0.0):
        super().__init__(("127.0.0.1", 0), _ProxyHandler)
        self.upstream, self.delay = upstream, delay
        self.faults = []
        self.lock = threading.Lock()
        self.requests = 0
        self.sent = 0
        self.url = f"http://127.0.0.1:{self.server_address[1]}"
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def next_fault(self):
        with self.lock:
            self.requests += 1
            return self.faults.pop(0) if self.faults else None

    def count(self, n):
        with self.lock:
            self.sent += n

    def stop(self):
        self.shutdown()
        self.server_close()


class _ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        proxy = self.server
        fault = proxy.next_fault()
        if proxy.delay:
            time.sleep(proxy.delay)
        if fault == "drop":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if fault == "503":
            self.send_response(503)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        upstream = http.client.HTTPConnection(proxy.upstream, timeout=30)
        try:
            headers = {k: v for k, v in self.headers.items() if k.lower() not in ("connection", "host")}
            upstream.request("GET", self.path, headers=headers)
            answer = upstream.getresponse()
            length = int(answer.getheader("Content-Length", "0"))
            self.send_response(answer.status)
            for key, value in answer.getheaders():
                if key.lower() not in ("connection", "transfer-encoding", "server", "date"):
                    self.send_header(key, value)
            self.end_headers()
            left = length // 2 if fault == "short" else length
            while left > 0:
                chunk = answer.read(min(left, 65536))
                if not chunk:
                    break
                self.wfile.write(chunk)
                proxy.count(len(chunk))
                left -= len(chunk)
            if fault == "short":
                self.wfile.flush()
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        finally:
            upstream.close()


class MotoS3:
    """moto's server on loopback with IAM authentication on: the first four
    actions are unchecked and create a user, a policy allowing everything,
    its attachment and an access key (key_id, secret); after that every
    request must be signed with that key."""

    def __init__(self, work):
        self.port = free_port()
        env = dict(os.environ, INITIAL_NO_AUTH_ACTION_COUNT="4", AWS_ACCESS_KEY_ID="setup",
                   AWS_SECRET_ACCESS_KEY="setup")
        self.log = open(os.path.join(os.fspath(work), "moto.log"), "w")
        self.process = subprocess.Popen([sys.executable, "-m", "moto.server", "-p", str(self.port)], env=env,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        wait_for_port(self.port, self.process, timeout=60)
        self.endpoint = f"http://127.0.0.1:{self.port}"
        import boto3  # moto's own dependency

        def client(kind, key="setup", secret="setup"):
            return boto3.client(kind, endpoint_url=self.endpoint, region_name="us-east-1",
                                aws_access_key_id=key, aws_secret_access_key=secret)

        iam = client("iam")
        iam.create_user(UserName="kelpa")
        policy = iam.create_policy(PolicyName="all", PolicyDocument=(
            '{"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Action": "*", "Resource": "*"}]}'))
        iam.attach_user_policy(UserName="kelpa", PolicyArn=policy["Policy"]["Arn"])
        key = iam.create_access_key(UserName="kelpa")["AccessKey"]
        self.key_id, self.secret = key["AccessKeyId"], key["SecretAccessKey"]
        self.s3 = client("s3", self.key_id, self.secret)

    def put(self, bucket, key, path):
        try:
            self.s3.create_bucket(Bucket=bucket)
        except self.s3.exceptions.BucketAlreadyOwnedByYou:
            pass
        self.s3.upload_file(os.fspath(path), bucket, key)

    def env(self):
        return {"AWS_ACCESS_KEY_ID": self.key_id, "AWS_SECRET_ACCESS_KEY": self.secret,
                "AWS_ENDPOINT_URL_S3": self.endpoint, "AWS_REGION": "us-east-1"}

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.log.close()


def fetch(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return answer.read()
