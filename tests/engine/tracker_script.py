#!/usr/bin/python3
# A scripted HTTP tracker for the tracker client's tests: answers each GET
# with the next reply of a JSON list and appends every request path to a log.
# Usage: tracker_script.py PORT REPLIES.json LOG
# A reply: {"status": 200, "headers": {"X-TrackerParam": "..."}, "body": hex}
# or {"hang": true} to leave the request unanswered; the last reply repeats.
import http.server
import json
import sys
import time

port, replies_path, log_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
with open(replies_path) as f:
    replies = json.load(f)
served = [0]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        with open(log_path, "a") as log:
            log.write(self.path + "\n")
        reply = replies[min(served[0], len(replies) - 1)]
        served[0] += 1
        if reply.get("hang"):
            time.sleep(60)
            return
        body = bytes.fromhex(reply.get("body", ""))
        self.send_response(reply.get("status", 200))
        for name, value in reply.get("headers", {}).items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
print("listening", flush=True)
server.serve_forever()
