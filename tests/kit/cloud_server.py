#!/usr/bin/env python3
"""A stand-in for the CloudKit Web Services host, served over TLS on loopback for the cloud tests.

Usage: cloud_server.py CERT KEY PORT_FILE LOG_FILE HOST

Listens on 127.0.0.1 on a free port, writes the port to PORT_FILE, logs every request line (and a
POST body on the next line) to LOG_FILE, and answers as the service does for the API tokens the
tests use. Ends on SIGTERM or after ten minutes, whichever comes first.
"""
import http.server
import json
import signal
import ssl
import sys
import threading
import urllib.parse

CERT, KEY, PORT_FILE, LOG_FILE, HOST = sys.argv[1:6]
API = "api-token"
GOOD = "good+token/=1"        # the web-auth token the sign-in hands out
LONG = "x" * 1100             # longer than the client's field
ZONE = 'Loops "A"'


def record(i, deleted=False):
    if deleted:
        return {"recordName": "gone-%d" % i, "deleted": True}
    fields = {
        "notes": {"type": "STRING", "value": "plain %d" % i},
        "title": {"type": "STRING", "value": "Loop %d" % i},
        "audio": {"type": "ASSETID", "value": {"size": 1000 + i, "downloadURL": "https://cvws.example/%d" % i}},
        "stem": {"type": "ASSETID", "value": {"size": 5, "downloadURL": "https://cvws.example/stem"}},
    }
    return {"recordName": "rec-%d" % i, "recordType": "Loop", "fields": fields,
            "modified": {"timestamp": 1700000000000 + i}}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def note(self, body=None):
        with open(LOG_FILE, "a") as f:
            f.write("%s %s\n" % (self.command, self.path))
            if body is not None:
                f.write(body.decode("utf-8", "replace") + "\n")

    def reply(self, status, obj=None, raw=None, headers=()):
        data = raw if raw is not None else json.dumps(obj if obj is not None else {}).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(data)

    def parse(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        parts = url.path.split("/")  # "", database, 1, container, environment, db, op...
        return url, query, parts

    def do_GET(self):
        self.note()
        url, query, parts = self.parse()
        if url.path == "/big":
            n = int(query["n"][0])
            return self.reply(200, raw=b"x" * n)
        if url.path.startswith("/asset/"):
            name = urllib.parse.unquote(url.path[len("/asset/"):])
            body = ("asset %s %s|" % (name, query.get("i", ["0"])[0])).encode() * 4000
            return self.reply(200, raw=body)
        if url.path == "/moved":
            return self.reply(302, headers=[("Location", "/asset/moved.wav?i=9")])
        if url.path == "/moved-plain":
            return self.reply(302, headers=[("Location", "http://%s:%d/asset/x" % (HOST, self.server.server_port))])
        if url.path == "/signin":
            token = query.get("token", [GOOD])[0]
            loc = "http://127.0.0.1:47555/?ckWebAuthToken=" + urllib.parse.quote(token, safe="") + "&state=1"
            return self.reply(302, headers=[("Location", loc)])
        api = query.get("ckAPIToken", [""])[0]
        web = query.get("ckWebAuthToken", [""])[0]
        op = "/".join(parts[6:])
        if op == "users/current":
            if api == "wrong":
                return self.reply(401, {})
            if api == "forbidden":
                return self.reply(403, {"serverErrorCode": "ACCESS_DENIED", "reason": "not for you"})
            if web == GOOD:
                return self.reply(200, {"userRecordName": "_user1"})
            if api == "no-redirect":
                return self.reply(421, {})
            if api == "http-redirect":
                return self.reply(421, {"redirectURL": "http://%s/signin" % HOST})
            if api == "long-token":
                return self.reply(421, {"redirectURL": "https://%s:%d/signin?token=%s" % (HOST, self.server.server_port, LONG)})
            return self.reply(421, {"redirectURL": "https://%s:%d/signin" % (HOST, self.server.server_port)})
        if op == "zones/list" and web == GOOD:
            if parts[5] == "private":
                zones = [{"zoneID": {"zoneName": "_defaultZone"}}, {"zoneID": {"zoneName": ZONE}},
                         {"zoneID": {"zoneName": "Gone"}}]
            else:
                zones = [{"zoneID": {"zoneName": "Shared", "ownerRecordName": "_owner"}}]
            return self.reply(200, {"zones": zones})
        return self.reply(401, {"serverErrorCode": "AUTHENTICATION_REQUIRED", "reason": "sign in"})

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.note(body)
        url, query, parts = self.parse()
        api = query.get("ckAPIToken", [""])[0]
        if query.get("ckWebAuthToken", [""])[0] != GOOD or api == "expire-on-list":
            return self.reply(421, {"serverErrorCode": "AUTHENTICATION_REQUIRED", "reason": "session gone"})
        ask = json.loads(body)["zones"][0]
        name = ask["zoneID"]["zoneName"]
        token = ask.get("syncToken")
        if name == "Gone":
            return self.reply(200, {"zones": [{"zoneID": {"zoneName": name}, "serverErrorCode": "ZONE_NOT_FOUND"}]})
        if name == "Shared":
            if ask["zoneID"].get("ownerRecordName") != "_owner":
                return self.reply(400, {"serverErrorCode": "BAD_REQUEST", "reason": "no owner"})
            return self.reply(200, {"zones": [{"records": [record(900)], "syncToken": "s1", "moreComing": False}]})
        if name != ZONE:
            return self.reply(400, {"serverErrorCode": "BAD_REQUEST", "reason": "no zone"})
        # Three pages: 200 records (every tenth deleted), 200 more, then 5.
        pages = {None: (0, 200, 't1"\\', True), 't1"\\': (200, 400, "t2", True), "t2": (400, 405, "t3", False)}
        if token not in pages:
            return self.reply(400, {"serverErrorCode": "BAD_SYNC_TOKEN", "reason": repr(token)})
        first, end, nxt, more = pages[token]
        records = [record(i, deleted=(i % 10 == 9)) for i in range(first, end)]
        return self.reply(200, {"zones": [{"zoneID": {"zoneName": name}, "records": records,
                                            "syncToken": nxt, "moreComing": more}]})


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(CERT, KEY)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    signal.signal(signal.SIGTERM, lambda *a: threading.Thread(target=server.shutdown).start())
    threading.Timer(600, server.shutdown).start()
    with open(PORT_FILE + ".tmp", "w") as f:
        f.write(str(server.server_port))
    import os
    os.rename(PORT_FILE + ".tmp", PORT_FILE)
    server.serve_forever()
    os._exit(0)


main()
