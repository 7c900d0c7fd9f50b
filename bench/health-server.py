#!/usr/bin/env python3
"""Stand-in for Vantrel's local API, for bench/agent-idle.sh.

  health-server.py --port N [--log FILE]   answers GET /healthz with {"service":"vantrel-local"}
  health-server.py --port N --silent       accepts connections and never answers

With --port 0 a free port is chosen. The port in use is printed on the first line.
"""
import argparse
import http.server
import selectors
import socket


class HealthHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as a real API server would
    disable_nagle_algorithm = True  # headers and body go out in separate writes
    log_file = None

    def do_GET(self):
        if self.path == "/healthz":
            status, body = 200, b'{"service":"vantrel-local"}'
        else:
            status, body = 404, b"{}"
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        if self.log_file:
            self.log_file.write(self.requestline + "\n")
            self.log_file.flush()


def serve_healthy(port, log_path):
    if log_path:
        HealthHandler.log_file = open(log_path, "a")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), HealthHandler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


def serve_silent(port):
    listener = socket.create_server(("127.0.0.1", port), backlog=1024)
    listener.setblocking(False)
    print(listener.getsockname()[1], flush=True)
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ)
    while True:
        for key, _ in selector.select():
            if key.fileobj is listener:
                try:
                    connection, _ = listener.accept()
                except BlockingIOError:
                    continue
                connection.setblocking(False)
                selector.register(connection, selectors.EVENT_READ)
                continue
            try:
                data = key.fileobj.recv(65536)
            except BlockingIOError:
                continue
            except ConnectionError:
                data = b""
            if not data:  # the client has gone
                selector.unregister(key.fileobj)
                key.fileobj.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--silent", action="store_true")
    parser.add_argument("--log")
    args = parser.parse_args()
    try:
        if args.silent:
            serve_silent(args.port)
        else:
            serve_healthy(args.port, args.log)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
