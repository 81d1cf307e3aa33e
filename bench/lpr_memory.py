#!/usr/bin/env python3
"""Resident memory of lpr-webd and lpr-settingsd, idle and after a number of requests.

    lpr_memory.py --tools DIR --settings-db-tool LPR_SETTINGS_DB [--emulator "QEMU -L ROOT"]
                  [--requests N] --work DIR

Starts lpr-settingsd and then lpr-webd (the programs under DIR/lpr-settingsd and
DIR/lpr-webd) on a new settings database in the work folder, made with the native
lpr-settings-db, with the bus's socket files there too (LPR_ZMQ_IPC_DIR), and prints a
line with the run's counts and one line per program and moment:

    memory <program> <moment> rss_kb=<n> anon_kb=<n> file_kb=<n>

for the moments "idle" (started, no request yet), "peak" (the largest resident size seen
while the requests ran, sampled every half second) and "after" (all requests answered,
every write stored by the daemon). The requests go to lpr-webd over one keep-alive
connection with HTTP Digest (SHA-256, the default): of every hundred, 98 reads (both
documents in turn) and two writes (each a whole document sent back with one member
changed), as a settings page that polls and now and then saves. After each write the
client waits until the daemon has stored it, as a user waits for a save; writes sent
faster than the daemon stores them queue up on the bus in both programs (up to the
bus's high-water mark) and are then dropped, which is another measurement.

With --emulator the programs are 32-bit ARM builds run under qemu-user. The emulator's
process then holds the emulator's own memory (translated code, its heap) besides the
program's: only the pages inside the program's address space count. qemu-arm is told to
put that space at a fixed host address (-B), and the resident pages of the mappings
inside those 4 GiB are the program's resident size, as the camera's kernel would count
it.
"""
import argparse
import hashlib
import http.client
import json
import os
import re
import secrets
import shlex
import subprocess
import sys
import threading
import time

GUEST_BASE = 0x100000000  # where qemu-arm puts the 4 GiB of a 32-bit program
GUEST_SIZE = 1 << 32
STORED = r"settingsd: stored "
USER = "bench"
PASSWORD = secrets.token_hex(12)


def die(message):
    print(f"lpr_memory: {message}", file=sys.stderr)
    sys.exit(1)


def resident(pid, emulated):
    """(rss, anon, file) in kB: the process's own, or the emulated program's."""
    if not emulated:
        fields = {}
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                key, _, value = line.partition(":")
                fields[key] = value.split()[0] if value.split() else "0"
        return int(fields["VmRSS"]), int(fields["RssAnon"]), int(fields["RssFile"])
    rss = anon = 0
    inside = False
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            head = re.match(r"([0-9a-f]+)-([0-9a-f]+) ", line)
            if head:
                start, end = int(head.group(1), 16), int(head.group(2), 16)
                inside = GUEST_BASE <= start and end <= GUEST_BASE + GUEST_SIZE
            elif inside and line.startswith("Rss:"):
                rss += int(line.split()[1])
            elif inside and line.startswith("Anonymous:"):
                anon += int(line.split()[1])
    return rss, anon, rss - anon


class Program:
    """A started program with its log file; stopped with SIGTERM."""

    def __init__(self, name, argv, work):
        self.name = name
        self.log_path = os.path.join(work, f"{name}.log")
        self.log = open(self.log_path, "w")
        self.seen_offset = 0
        self.seen_count = 0
        self.proc = subprocess.Popen(argv, stdout=self.log, stderr=subprocess.STDOUT, cwd=work)

    def wait_for(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(self.log_path) as log:
                found = re.findall(pattern, log.read())
            if found:
                return found
            if self.proc.poll() is not None:
                die(f"{self.name} ended with status {self.proc.returncode}; see {self.log_path}")
            time.sleep(0.1)
        die(f"{self.name}: no {pattern!r} in its log within {timeout} s")

    def count(self, pattern):
        with open(self.log_path) as log:
            return len(re.findall(pattern, log.read()))

    def wait_count(self, pattern, count, timeout):
        """Waits until the log holds count lines with pattern (reading only what is new)."""
        deadline = time.monotonic() + timeout
        while True:
            with open(self.log_path) as log:
                log.seek(self.seen_offset)
                text = log.read()
            complete = text[:text.rfind("\n") + 1]
            self.seen_offset += len(complete.encode())
            self.seen_count += len(re.findall(pattern, complete))
            if self.seen_count >= count:
                return
            if time.monotonic() > deadline:
                die(f"{self.name}: {self.seen_count} lines with {pattern!r}, not {count}, "
                    f"within {timeout} s")
            time.sleep(0.002)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class DigestClient:
    """One keep-alive connection. The HTTP server binds a Digest nonce to the URI it was
    issued for, so the client keeps a challenge and a nonce count per URI; a 401 (first
    request to a URI, stale nonce) fetches a new challenge."""

    def __init__(self, port):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        self.challenges = {}  # uri -> [challenge fields, nonce count]

    def authorization(self, method, uri):
        state = self.challenges[uri]
        c = state[0]
        algorithm = c.get("algorithm", "MD5")
        digest = hashlib.sha256 if algorithm.upper().startswith("SHA-256") else hashlib.md5

        def h(text):
            return digest(text.encode()).hexdigest()

        state[1] += 1
        nc = f"{state[1]:08x}"
        cnonce = secrets.token_hex(8)
        ha1 = h(f"{USER}:{c['realm']}:{PASSWORD}")
        response = h(f"{ha1}:{c['nonce']}:{nc}:{cnonce}:auth:{h(f'{method}:{uri}')}")
        return (f'Digest username="{USER}", realm="{c["realm"]}", nonce="{c["nonce"]}", '
                f'uri="{uri}", algorithm={algorithm}, response="{response}", qop=auth, '
                f'nc={nc}, cnonce="{cnonce}", opaque="{c.get("opaque", "")}"')

    def request(self, method, uri, body=None):
        for _ in range(3):
            headers = {}
            if uri in self.challenges:
                headers["Authorization"] = self.authorization(method, uri)
            if body is not None:
                headers["Content-Type"] = "application/json"
            self.conn.request(method, uri, body=body, headers=headers)
            reply = self.conn.getresponse()
            data = reply.read()
            if reply.status != 401:
                return reply.status, data
            header = reply.getheader("WWW-Authenticate") or ""
            self.challenges[uri] = [dict(re.findall(r'(\w+)="?([^",]*)"?', header)), 0]
        die(f"{method} {uri}: refused three times (401)")


def run_requests(port, count, daemon):
    """Sends count requests; returns the number of writes among them. Each write waits
    until the daemon has logged it stored."""
    client = DigestClient(port)
    documents = {}
    for name in ("vehicle_count", "lpr_advanced"):
        status, data = client.request("GET", f"/api/v1/get_{name}")
        if status != 200:
            die(f"get_{name}: status {status}")
        documents[name] = json.loads(data)
    # Members that the writes vary, with the range of values they take.
    varied = {"vehicle_count": ("resetHour", 24), "lpr_advanced": ("osdFontSize", 6)}
    pattern = ["get_vehicle_count", "get_lpr_advanced"] * 24 + \
        ["get_vehicle_count", "set_vehicle_count"] + \
        ["get_lpr_advanced", "get_vehicle_count"] * 24 + ["get_lpr_advanced", "set_lpr_advanced"]
    writes = 0
    for i in range(count - 2):
        action = pattern[i % len(pattern)]
        if action.startswith("set_"):
            name = action[4:]
            key, values = varied[name]
            documents[name][key] = (i // len(pattern)) % values
            body = json.dumps(documents[name], separators=(",", ":"))
            status, data = client.request("POST", f"/api/v1/{action}", body)
            if status != 200 or data != b'{"code":200,"msg":"OK"}':
                die(f"{action}: status {status}, {data[:200]!r}")
            writes += 1
            daemon.wait_count(STORED, writes, 60)
        else:
            status, data = client.request("GET", f"/api/v1/{action}")
            if status != 200:
                die(f"{action}: status {status}")
    return writes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", required=True, help="folder with lpr-webd/ and lpr-settingsd/")
    parser.add_argument("--settings-db-tool", required=True, help="native lpr-settings-db")
    parser.add_argument("--emulator", default="", help="qemu-arm command for ARM builds")
    parser.add_argument("--requests", type=int, default=100000)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    emulated = bool(args.emulator)
    prefix = shlex.split(args.emulator) + ["-B", hex(GUEST_BASE)] if emulated else []
    work = os.path.abspath(args.work)
    ipc = os.path.join(work, "ipc")
    os.makedirs(ipc, exist_ok=True)
    os.environ["LPR_ZMQ_IPC_DIR"] = ipc
    db = os.path.join(work, "settings.db")
    users = os.path.join(work, "users")
    tools = os.path.abspath(args.tools)
    webd = os.path.join(tools, "lpr-webd", "lpr-webd")
    settingsd = os.path.join(tools, "lpr-settingsd", "lpr-settingsd")
    subprocess.run([args.settings_db_tool, "create", db], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(prefix + [webd, "--users", users, "--add-user", USER, "--perm", "view,change"],
                   input=PASSWORD + "\n", text=True, check=True, stdout=subprocess.DEVNULL)

    programs = []
    try:
        daemon = Program("lpr-settingsd", prefix + [settingsd, "--db", db], work)
        programs.append(daemon)
        daemon.wait_for(r"settingsd: ready", 60)
        # The port is chosen by the kernel and read from the start-up line.
        server = Program("lpr-webd", prefix + [webd, "--port", "0", "--db", db, "--users",
                                               users, "--nonce-timeout", "3600", "--change-log",
                                               os.path.join(work, "changes.log")], work)
        programs.append(server)
        port = int(server.wait_for(r"listening on http://127\.0\.0\.1:(\d+)/", 60)[0])
        time.sleep(1)  # the daemon's subscription reaches the web server's endpoint

        measured = {"idle": {}, "peak": {}, "after": {}}
        for p in programs:
            measured["idle"][p.name] = resident(p.proc.pid, emulated)
            measured["peak"][p.name] = measured["idle"][p.name]

        done = threading.Event()

        def sample():
            while not done.wait(0.5):
                for p in programs:
                    now = resident(p.proc.pid, emulated)
                    if now[0] > measured["peak"][p.name][0]:
                        measured["peak"][p.name] = now

        sampler = threading.Thread(target=sample)
        sampler.start()
        started = time.monotonic()
        try:
            writes = run_requests(port, args.requests, daemon)
        finally:
            done.set()
            sampler.join()
        seconds = time.monotonic() - started
        stored = daemon.count(STORED)
        for p in programs:
            measured["after"][p.name] = resident(p.proc.pid, emulated)

        print(f"requests {args.requests} ({writes} writes, {stored} records stored by "
              f"lpr-settingsd) in {seconds:.0f} s")
        for p in programs:
            for moment in ("idle", "peak", "after"):
                rss, anon, file_backed = measured[moment][p.name]
                print(f"memory {p.name} {moment} rss_kb={rss} anon_kb={anon} file_kb={file_backed}")
        if stored < writes:
            die(f"lpr-settingsd stored {stored} of {writes} records")
    finally:
        for p in reversed(programs):
            p.stop()


if __name__ == "__main__":
    main()
