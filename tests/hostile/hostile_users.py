#!/usr/bin/env python3
"""Hostile local users against the real service process, run as root.

An attacker (an unused uid, dropped to in forked children) replays what an unprivileged local
user can try against the service and other users' clients: idle and never-reading
connections, locks, squatting, renaming and resetting at the event names, truncation under a
mapping, a fake server where a client might look for the service, hard links, symbolic links,
FIFOs and directories at the event names, and connection floods. Meanwhile a victim (another
unused uid) runs the real client again and again. Each attack passes when every victim request
is answered correctly within one command's time, no victim process dies, the service keeps
running, and nothing outside the attacker's own files changed.

usage: hostile_users.py --service PATH --client PATH [--seconds S] [--no-verdict]
"""
import argparse
import json
import os
import pwd
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

PIPE = "TAVIK_Zyl_Control_Service"
EVENTS = ("Global.VokZylRemoveService", "Global.VokZylRemoveService2")
ADAPTER_ID = "0x81CE104D"
EVENT_MAGIC = 0x5645595A
# One command's time: a victim request that takes longer has been held up by someone.
VICTIM_LIMIT_S = 1.0
VICTIM_TIMEOUT_MS = 20000


def free_uid(start):
    uid = start
    while True:
        try:
            pwd.getpwuid(uid)
            uid += 1
        except KeyError:
            return uid


def become(uid):
    os.setgroups([])
    os.setgid(uid)
    os.setuid(uid)


def quietly(call, *args):
    try:
        return call(*args)
    except OSError:
        return None


class Service:
    def __init__(self, program):
        self.dir = tempfile.mkdtemp(prefix="zylhostile-")
        os.chmod(self.dir, 0o755)  # other users must reach the socket
        self.log = open(os.path.join(self.dir, "service.log"), "wb")
        self.process = subprocess.Popen([program, "--runtime-dir", self.dir], stderr=self.log,
                                        stdout=subprocess.DEVNULL)
        self.socket = os.path.join(self.dir, PIPE)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.socket):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise SystemExit("hostile: the service did not start")
            time.sleep(0.01)

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        if self.alive():
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class World:
    """Where things are, for both the shared events directory and per-user ones."""

    def __init__(self, service, attacker, victim, client):
        self.service = service
        self.attacker = attacker
        self.victim = victim
        self.client = client
        self.events = os.path.join(service.dir, "events")

    def user_dirs(self, uid):
        return [self.events, os.path.join(self.events, str(uid))]

    def names_of(self, uid):
        return [os.path.join(d, n) for d in self.user_dirs(uid) for n in EVENTS]

    def victim_names(self):
        return self.names_of(self.victim)

    def own_names(self):
        return self.names_of(self.attacker)


# --- what the attacker does (in a child that has dropped to the attacker's uid) ---------------


def connect(path, blocking=True):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    if not blocking:
        s.setblocking(False)
    try:
        s.connect(path)
    except BlockingIOError:
        pass
    return s


def count_record():
    return struct.pack("<IIIIiHH", 1, int(ADAPTER_ID, 16), 0, 0, 0, 0, 0)


def raw_request(path, timeout=3.0):
    """A count sent on a plain socket; the attacker's events are whatever it placed."""
    try:
        s = connect(path)
        s.settimeout(timeout)
        s.sendall(count_record())
        while s.recv(64):
            pass
    except OSError:
        pass


def event_bytes(manual_reset, signalled=0, handles=1):
    return struct.pack("<IIII", EVENT_MAGIC, manual_reset, signalled, handles)


def make_event_file(path, manual_reset):
    temporary = path + ".h%d" % os.getpid()
    fd = quietly(os.open, temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    if fd is None:
        return
    os.write(fd, event_bytes(manual_reset))
    os.close(fd)
    quietly(os.link, temporary, path)
    quietly(os.unlink, temporary)


def hello(world):
    # One empty connection: where the service makes per-user event directories, it makes ours.
    quietly(lambda: connect(world.service.socket).close())
    time.sleep(0.05)


def own_events(world):
    """Valid events at the attacker's own names: a service that opens events before it reads
    then waits out each of the attacker's connections."""
    hello(world)
    for path in world.own_names():
        make_event_file(path, manual_reset=1)


def hold_connections(world, count, first_bytes):
    """Keeps `count` connections open that sent `first_bytes`, opening a new one for each the
    service closes."""
    import select

    own_events(world)
    held = {}
    watcher = select.poll()
    while True:
        while len(held) < count:
            s = quietly(connect, world.service.socket, False)
            if s is None:
                break
            if first_bytes:
                quietly(s.send, first_bytes)
            held[s.fileno()] = s
            watcher.register(s.fileno(), select.POLLIN)
        for fd, _ in watcher.poll(5):
            if not quietly(held[fd].recv, 64):
                watcher.unregister(fd)
                held.pop(fd).close()


def attack_idle(world):
    hold_connections(world, 80, b"")


def attack_no_read(world):
    # Reads nothing: the poll sees the reply only once the service has closed, and by then
    # the socket reports it as readable data, which is left unread until the connection ends.
    import select

    own_events(world)
    held = []
    while True:
        while len(held) < 40:
            s = quietly(connect, world.service.socket, False)
            if s is None:
                break
            quietly(s.send, count_record())
            held.append(s)
        time.sleep(0.05)
        # Replace those the service has finished with (they hold their replies unread).
        done = [s for s in held if select.select([s], [], [], 0)[0]]
        for s in done:
            held.remove(s)
        time.sleep(0.2)
        for s in done:
            s.close()


def attack_slow_bytes(world):
    hold_connections(world, 40, count_record()[:23])


def attack_flock(world):
    import fcntl

    held = {}
    while True:
        for path in world.victim_names():
            if path in held:
                continue
            fd = quietly(os.open, path, os.O_RDONLY | os.O_NONBLOCK)
            if fd is None:
                continue
            quietly(fcntl.flock, fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            held[path] = fd
        time.sleep(0.001)


def attack_squat(world):
    while True:
        for path in world.victim_names():
            fd = quietly(os.open, path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            if fd is not None:
                os.close(fd)
        time.sleep(0.0005)


def attack_rename(world):
    while True:
        for path in world.victim_names():
            temporary = path + ".r%d" % os.getpid()
            fd = quietly(os.open, temporary, os.O_WRONLY | os.O_CREAT, 0o666)
            if fd is None:
                continue
            os.write(fd, event_bytes(1))
            os.close(fd)
            if quietly(os.rename, temporary, path) is None:
                quietly(os.unlink, temporary)
        time.sleep(0.0005)


def attack_reset_word(world):
    while True:
        for path in world.victim_names():
            fd = quietly(os.open, path, os.O_WRONLY | os.O_NONBLOCK)
            if fd is not None:
                quietly(os.pwrite, fd, b"\0\0\0\0", 8)
                os.close(fd)


def attack_truncate_victim(world):
    # Auto-reset events of the attacker's making, truncated under the victim's mapping.
    while True:
        for path in world.victim_names():
            make_event_file(path, manual_reset=0)
            fd = quietly(os.open, path, os.O_WRONLY | os.O_NONBLOCK)
            if fd is not None:
                quietly(os.ftruncate, fd, 0)
                time.sleep(0.0002)
                quietly(os.ftruncate, fd, 16)
                quietly(os.pwrite, fd, event_bytes(0), 0)
                os.close(fd)
        time.sleep(0.0002)


def attack_truncate_service(world):
    # The attacker's own events, truncated while the service has them open.
    hello(world)
    while True:
        for path in world.own_names():
            make_event_file(path, manual_reset=1)
        raw_request(world.service.socket, 0.2)
        for path in world.own_names():
            quietly(os.truncate, path, 0)


def place_at_own_and_victim_names(world, place):
    hello(world)
    while True:
        for path in world.own_names() + world.victim_names():
            place(path)
        raw_request(world.service.socket, 0.5)
        time.sleep(0.001)


def attack_symlink(world):
    # Root's own file, which the check reads back, and a device.
    targets = [world.secret, "/dev/null"]

    def place(path):
        quietly(os.symlink, targets[hash(path) % 2], path)

    place_at_own_and_victim_names(world, place)


def attack_fifo(world):
    place_at_own_and_victim_names(world, lambda path: quietly(os.mkfifo, path, 0o666))


def attack_directory(world):
    place_at_own_and_victim_names(world, lambda path: quietly(os.mkdir, path, 0o777))


def attack_hardlink(world):
    place_at_own_and_victim_names(world, lambda path: quietly(os.link, world.secret, path))


def attack_flood(world):
    for _ in range(3):
        if os.fork() == 0:
            while True:
                quietly(lambda: connect(world.service.socket, False).close())
    while True:
        s = quietly(connect, world.service.socket, False)
        if s is not None:
            quietly(s.send, count_record()[:7])
            s.close()


def fake_server(directory):
    os.makedirs(os.path.join(directory, "events"), exist_ok=True)
    os.chmod(os.path.join(directory, "events"), 0o1777)
    path = os.path.join(directory, PIPE)
    quietly(os.unlink, path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    os.chmod(path, 0o666)
    listener.listen(64)
    while True:
        client, _ = listener.accept()
        try:
            client.settimeout(1)
            record = client.recv(24)
            if len(record) == 24:
                command = struct.unpack_from("<I", record)[0]
                reply = struct.pack("<IIIIiHH", command, 0, 0, 7, 1, 0, 0)
                client.sendall(reply)
        except OSError:
            pass
        client.close()


# --- the victim ----------------------------------------------------------------------------


def victim_request(world, runtime_dir=True, env_extra=None):
    """One client run as the victim: (seconds, outcome text or None when correct)."""
    command = [world.client, "count", "--match-id", ADAPTER_ID, "--json", "--timeout-ms",
               str(VICTIM_TIMEOUT_MS)]
    if runtime_dir:
        command += ["--runtime-dir", world.service.dir]
    env = {"PATH": "/usr/bin:/bin"}
    env.update(env_extra or {})
    start = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True, env=env, cwd="/",
                          preexec_fn=lambda: become(world.victim))
    took = time.monotonic() - start
    if done.returncode < 0:
        return took, "killed by %s" % signal.Signals(-done.returncode).name
    try:
        reply = json.loads(done.stdout)
    except ValueError:
        return took, "exit %d: %s" % (done.returncode, (done.stdout + done.stderr).strip()[:160])
    answer = reply.get("reply", {})
    if done.returncode == 0 and answer.get("result") == 1 and answer.get("count") == 1:
        return took, None
    return took, "exit %d: %s" % (done.returncode, done.stdout.strip()[:160])


class Attack:
    def __init__(self, name, body, victim_runs=None, check=None):
        self.name = name
        self.body = body
        self.victim_runs = victim_runs
        self.check = check


def start_attacker(world, body):
    pid = os.fork()
    if pid == 0:
        try:
            os.setpgid(0, 0)
            os.umask(0)  # files meant for everyone (as the shared events are) really are
            become(world.attacker)
            body(world)
        except BaseException as e:
            if os.environ.get("HOSTILE_DEBUG"):
                print("attacker stopped: %r" % e)
        os._exit(0)
    quietly(os.setpgid, pid, pid)
    return pid


def stop_attacker(pid, world=None):
    quietly(os.killpg, pid, signal.SIGKILL)
    quietly(os.waitpid, pid, 0)
    if world is not None:
        # What the attacker left behind (its own files, hard links to root's) would otherwise
        # carry over into the next attack.
        for root, dirs, files in os.walk(world.events, topdown=False):
            for name in files + dirs:
                path = os.path.join(root, name)
                info = os.lstat(path)
                if info.st_uid == world.victim or (info.st_uid == 0 and os.path.isdir(path)):
                    continue
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path, ignore_errors=True)
                else:
                    quietly(os.unlink, path)


def run_attack(world, attack, seconds):
    pid = start_attacker(world, attack.body)
    time.sleep(0.3)
    worst, runs, faults = 0.0, 0, []
    end = time.monotonic() + seconds
    while runs == 0 or time.monotonic() < end:
        took, fault = (attack.victim_runs or victim_request)(world)
        runs += 1
        worst = max(worst, took)
        if fault is not None:
            faults.append(fault)
        elif took > VICTIM_LIMIT_S:
            faults.append("served after %.0f ms" % (took * 1000))
    stop_attacker(pid, world)
    if attack.check is not None:
        problem = attack.check(world)
        if problem:
            faults.append(problem)
    if not world.service.alive():
        faults.append("the service died")
    return runs, worst, faults


def fake_server_in_tmp(world):
    """The service is away (no /run/vokzyl), XDG_RUNTIME_DIR unset: a client must not trust
    a directory someone else made at its fallback place."""
    if os.path.exists("/run/vokzyl"):
        return 0.0, "skipped: /run/vokzyl exists on this machine"
    fallback = "/tmp/vokzyl-%d" % world.victim
    shutil.rmtree(fallback, ignore_errors=True)

    def body(w):
        fake_server(fallback)

    pid = start_attacker(world, body)
    time.sleep(0.3)
    took, fault = victim_request(world, runtime_dir=False)
    stop_attacker(pid)
    shutil.rmtree(fallback, ignore_errors=True)
    if fault is None:
        return took, "fooled: the fake server's reply was taken"
    if "count" in fault and '"count":7' in fault.replace(" ", ""):
        return took, "fooled: " + fault
    if "Success" in fault:
        return took, "unclear error: " + fault
    return took, None


def fake_server_in_shared_dir(world):
    """A runtime directory that root owns but anyone may write (like /tmp): the socket in it
    belongs to someone who is neither root nor the directory's owner."""
    shared = tempfile.mkdtemp(prefix="zylhostile-shared-")
    os.chmod(shared, 0o1777)

    def body(w):
        fake_server(shared)

    pid = start_attacker(world, body)
    time.sleep(0.3)
    saved = world.service.dir
    world.service.dir = shared
    try:
        took, fault = victim_request(world)
    finally:
        world.service.dir = saved
        stop_attacker(pid)
        shutil.rmtree(shared, ignore_errors=True)
    if fault is None or '"count":7' in fault.replace(" ", ""):
        return took, "fooled: the fake server's reply was taken"
    if "Success" in fault:
        return took, "unclear error: " + fault
    return took, None


def secret_unchanged(world):
    with open(world.secret, "rb") as f:
        if f.read() != b"root's file\n":
            return "a root-owned file linked at an event name was written"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--only", default="",
                        help="run just the attacks whose name contains this text")
    parser.add_argument("--no-verdict", action="store_true",
                        help="print the table but always exit 0 (for measuring old builds)")
    options = parser.parse_args()
    if os.geteuid() != 0:
        print("hostile: must run as root (it drops to unused uids itself)")
        return 2
    sys.stdout.reconfigure(line_buffering=True)
    attacker = free_uid(61000)
    victim = free_uid(attacker + 1)
    service = Service(options.service)
    # The victim runs its own copy: the build tree need not be open to other users.
    client = os.path.join(service.dir, "zylclient")
    shutil.copy(options.client, client)
    os.chmod(client, 0o755)
    world = World(service, attacker, victim, client)
    world.secret = os.path.join(service.dir, "root-file")
    with open(world.secret, "wb") as f:
        f.write(b"root's file\n")
    os.chmod(world.secret, 0o644)

    hardlinks = open("/proc/sys/fs/protected_hardlinks").read().strip()
    relaxed = quietly(lambda: open("/proc/sys/fs/protected_hardlinks", "w").write("0"))
    hardlink_note = "protected_hardlinks=0" if relaxed else "protected_hardlinks=%s" % hardlinks

    print("service %s, runtime dir %s; attacker uid %d, victim uid %d; %s" %
          (options.service, service.dir, attacker, victim, hardlink_note))
    rows = []
    failed = 0
    try:
        subprocess.run([world.client, "load", "--runtime-dir", service.dir], check=False,
                       capture_output=True, preexec_fn=lambda: become(victim))
        took, fault = victim_request(world)
        rows.append(("no attack (baseline)", 1, took, [fault] if fault else []))

        attacks = [
            Attack("1 idle connections (80)", attack_idle),
            Attack("1 replies never read (40)", attack_no_read),
            Attack("1 23 bytes and silence (40)", attack_slow_bytes),
            Attack("2 flock on the events", attack_flock),
            Attack("2 squat empty 0600 files", attack_squat),
            Attack("2 rename over the events", attack_rename),
            Attack("2 reset the event word", attack_reset_word),
            Attack("3 auto-reset + truncate", attack_truncate_victim),
            Attack("5 hard link at the names", attack_hardlink, check=secret_unchanged),
            Attack("symlinks at the names", attack_symlink, check=secret_unchanged),
            Attack("FIFOs at the names", attack_fifo),
            Attack("directories at the names", attack_directory),
            Attack("truncate while mapped", attack_truncate_service),
            Attack("connection flood", attack_flood),
        ]
        for attack in attacks:
            if options.only not in attack.name:
                continue
            runs, worst, faults = run_attack(world, attack, options.seconds)
            rows.append((attack.name, runs, worst, faults))
        for name, probe in (("4 fake server, /tmp fallback", fake_server_in_tmp),
                            ("4 fake server, shared dir", fake_server_in_shared_dir)):
            if options.only not in name:
                continue
            took, fault = probe(world)
            if fault and fault.startswith("skipped"):
                print("note: %s %s" % (name, fault))  # not counted as blocked
                continue
            rows.append((name, 1, took, [fault] if fault else []))
    finally:
        service_alive = service.alive()
        service.stop()
        if relaxed:
            quietly(lambda: open("/proc/sys/fs/protected_hardlinks", "w").write(hardlinks))

    print("  %-32s %8s %12s  %s" % ("attack", "victim", "worst (ms)", "verdict"))
    for name, runs, worst, faults in rows:
        verdict = "blocked" if not faults else "FAILED: %d x %s" % (len(faults), faults[0])
        failed += bool(faults)
        print("  %-32s %8d %12.0f  %s" % (name, runs, worst * 1000, verdict))
    if not service_alive:
        print("FAULT the service did not survive")
        failed += 1
    print("hostile: %d attacks blocked, %d not" % (len(rows) - failed, failed))
    return 0 if failed == 0 or options.no_verdict else 1


if __name__ == "__main__":
    sys.exit(main())
