# A minimal RFC 3161 time-stamp server on loopback for the signing test: each POSTed
# request is answered by `openssl ts -reply` with the test CA's time-stamping
# certificate. Prints its port, then serves until killed.
#   python3 tsa.py OPENSSL_TS_CONFIG
import http.server
import os
import subprocess
import sys
import tempfile

config = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        with tempfile.TemporaryDirectory() as d:
            q, r = os.path.join(d, "q"), os.path.join(d, "r")
            with open(q, "wb") as f:
                f.write(query)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", config,
                                   "-queryfile", q, "-out", r], stderr=subprocess.PIPE)
            if done.returncode != 0:
                sys.stderr.write(done.stderr.decode(errors="replace"))
                self.send_error(500)
                return
            with open(r, "rb") as f:
                reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
