"""Real servers on loopback for the tests of remote files (and the remote
benchmark): nginx over HTTP and HTTPS, a fault-injecting proxy of our own in
front of it, a small range server of our own that misbehaves on demand, and
moto's S3 server with its IAM authentication on."""

import asyncio
import gzip
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

# Servers are not ours: they run without the sanitizer runtime that a
# sanitizer run preloads into kelpa's processes.
SERVER_ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


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
    and /gs/ (only with the bearer token TOKEN), on free ports or on `port`
    and `tls_port`. Its access log counts the requests and the body bytes
    sent."""

    TOKEN = "test-token-1"

    def __init__(self, root, work, port=None, tls_port=None):
        self.root, self.work = os.fspath(root), os.fspath(work)
        self.cert = os.path.join(self.work, "cert.pem")
        request = "req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
        key = os.path.join(self.work, "key.pem")
        subprocess.run(
            ["openssl", *request.split(), "-keyout", key, "-out", self.cert],
            check=True,
            capture_output=True,
            env=SERVER_ENV,
        )
        self.port, self.tls_port = port or free_port(), tls_port or free_port()
        conf = os.path.join(self.work, "nginx.conf")
        with open(conf, "w") as out:
            user = "user root;" if os.geteuid() == 0 else ""
            out.write(
                NGINX_CONF.format(
                    d=self.work, root=self.root, http=self.port, https=self.tls_port, token=self.TOKEN, user=user
                )
            )
        self.process = subprocess.Popen(
            [shutil.which("nginx") or "/usr/sbin/nginx", "-c", conf, "-p", self.work],
            stderr=subprocess.DEVNULL,
            env=SERVER_ENV,
        )
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


class FaultProxy:
    """An HTTP proxy to `upstream` (host:port), on an event loop of its own
    thread, that adds `delay` seconds to each request and takes its next
    faults from `faults`: "503", "drop" (the connection closed without an
    answer), "short" (half the body, then the connection closed). It counts
    the requests and the body bytes it passes on (GET /__counts answers
    them as JSON). Bodies are relayed as they come, and every client
    connection keeps one upstream connection."""

    def __init__(self, upstream, delay=0.0, port=0):
        self.host, self.upstream_port = upstream.rsplit(":", 1)
        self.delay, self.faults, self.requests, self.sent = delay, [], 0, 0
        self.loop = asyncio.new_event_loop()
        started = threading.Event()

        def serve():
            self.server = self.loop.run_until_complete(
                asyncio.start_server(self.client, "127.0.0.1", port, backlog=256)
            )
            started.set()
            self.loop.run_forever()

        threading.Thread(target=serve, daemon=True).start()
        started.wait()
        self.url = f"http://127.0.0.1:{self.server.sockets[0].getsockname()[1]}"

    async def client(self, reader, writer):
        upstream = None
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                if head.startswith(b"GET /__counts "):
                    body = json.dumps({"requests": self.requests, "sent": self.sent}).encode()
                    writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
                    continue
                self.requests += 1
                fault = self.faults.pop(0) if self.faults else None
                if self.delay:
                    await asyncio.sleep(self.delay)
                if fault == "drop":
                    writer.transport.abort()
                    return
                if fault == "503":
                    writer.write(b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n")
                    continue
                if upstream is None:
                    upstream = await asyncio.open_connection(self.host, int(self.upstream_port))
                upstream[1].write(head)
                answer = await upstream[0].readuntil(b"\r\n\r\n")
                length = 0
                for line in answer.split(b"\r\n"):
                    if line.lower().startswith(b"content-length:"):
                        length = int(line.split(b":", 1)[1])
                if head.startswith(b"HEAD "):
                    length = 0
                writer.write(answer)
                left = length // 2 if fault == "short" else length
                while left > 0:
                    chunk = await upstream[0].read(min(left, 65536))
                    if not chunk:
                        break
                    writer.write(chunk)
                    self.sent += len(chunk)
                    left -= len(chunk)
                    await writer.drain()
                if fault == "short":
                    writer.transport.abort()
                    return
        except (asyncio.IncompleteReadError, ConnectionError, OSError):
            pass
        finally:
            writer.transport.abort()
            if upstream is not None:
                upstream[1].transport.abort()

    def stop(self):
        async def close():
            self.server.close()
            tasks = [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

        asyncio.run_coroutine_threadsafe(close(), self.loop).result(10)
        self.loop.call_soon_threadsafe(self.loop.stop)


class RangeServer:
    """An HTTP/1.1 server of our own on loopback, on threads of its own,
    serving the files of `root` (named by the last part of the path) by byte
    range, and keeping the head of every request it gets (`received`).
    A path under /moved/ is redirected (302) to `moved_to` + the rest of the
    path; every other request is answered as `answer` says:
      "range"    the bytes asked for (206)
      "416"      416, with Content-Range: bytes */`size_given` (the file's
                 size when None)
      "trickle"  the bytes asked for, two a second
      "gzip"     the bytes asked for, gzip-compressed (Content-Encoding)"""

    def __init__(self, root):
        self.root, self.answer, self.size_given, self.moved_to, self.received = root, "range", None, "", []
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def reply(self, status, headers, body=b"", trickle=False):
                self.send_response(status)
                for name, value in dict(headers, **{"Content-Length": str(len(body))}).items():
                    self.send_header(name, value)
                self.end_headers()
                if not trickle:
                    self.wfile.write(body)
                    return
                self.wfile.flush()
                try:
                    for at in range(0, len(body), 2):
                        self.wfile.write(body[at : at + 2])
                        self.wfile.flush()
                        time.sleep(1)
                except ConnectionError:
                    pass

            def do_GET(self):
                owner.received.append(self.requestline + "\r\n" + str(self.headers))
                path = self.path.split("?")[0]
                if path.startswith("/moved/"):
                    self.reply(302, {"Location": owner.moved_to + path[len("/moved") :]})
                    return
                try:
                    with open(os.path.join(owner.root, os.path.basename(path)), "rb") as file:
                        data = file.read()
                except OSError:
                    self.reply(404, {})
                    return
                first, last = (int(n) for n in self.headers["Range"].split("=")[1].split("-"))
                last = min(last, len(data) - 1)
                if owner.answer == "416" or first >= len(data):
                    size = len(data) if owner.size_given is None else owner.size_given
                    self.reply(416, {"Content-Range": f"bytes */{size}"})
                    return
                body = data[first : last + 1]
                headers = {"Content-Range": f"bytes {first}-{last}/{len(data)}"}
                if owner.answer == "gzip":
                    body, headers["Content-Encoding"] = gzip.compress(body), "gzip"
                self.reply(206, headers, body, trickle=owner.answer == "trickle")

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class MotoS3:
    """moto's server on loopback (a free port, or `port`) with IAM
    authentication on: the first four actions are unchecked and create a
    user, a policy allowing everything, its attachment and an access key
    (key_id, secret); after that every request must be signed with that
    key."""

    def __init__(self, work, port=None):
        self.port = port or free_port()
        env = dict(
            SERVER_ENV, INITIAL_NO_AUTH_ACTION_COUNT="4", AWS_ACCESS_KEY_ID="setup", AWS_SECRET_ACCESS_KEY="setup"
        )
        self.log = open(os.path.join(os.fspath(work), "moto.log"), "w")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "moto.server", "-p", str(self.port)],
            env=env,
            stdout=self.log,
            stderr=subprocess.STDOUT,
        )
        wait_for_port(self.port, self.process, timeout=60)
        self.endpoint = f"http://127.0.0.1:{self.port}"
        import boto3  # moto's own dependency

        def client(kind, key="setup", secret="setup"):
            options = dict(endpoint_url=self.endpoint, region_name="us-east-1")
            return boto3.client(kind, aws_access_key_id=key, aws_secret_access_key=secret, **options)

        iam = client("iam")
        iam.create_user(UserName="kelpa")
        everything = {"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Action": "*", "Resource": "*"}]}
        policy = iam.create_policy(PolicyName="all", PolicyDocument=json.dumps(everything))
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
        return {
            "AWS_ACCESS_KEY_ID": self.key_id,
            "AWS_SECRET_ACCESS_KEY": self.secret,
            "AWS_ENDPOINT_URL_S3": self.endpoint,
            "AWS_REGION": "us-east-1",
        }

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.log.close()


if __name__ == "__main__":
    # python remote_servers.py UPSTREAM DELAY: a FaultProxy in a process of
    # its own (the benchmark's), its URL on the first line of standard output.
    proxy = FaultProxy(sys.argv[1], float(sys.argv[2]))
    print(proxy.url, flush=True)
    threading.Event().wait()
