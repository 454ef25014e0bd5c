#!/usr/bin/env python3
"""Hostile local users against the real service process, run as root.

An attacker (an account made for the run, dropped to in forked children) replays what an
unprivileged local user can try against the service and other users' clients: idle, slow and
never-reading connections, a queue of complete requests kept full, a flood of connections
against a user's first contact, attempts to make files in the runtime directory, thousands of
subordinate uids taken by the attacker itself inside `unshare --user --map-auto` (its ranges
registered in /etc/subuid and /etc/subgid for the run; newuidmap and newgidmap map them), and
fake servers where a client might look for the service, including a runtime directory anyone
may write. Meanwhile a victim (an unused uid) runs the real client again and again. Each attack
passes when every victim request is answered correctly within one command's time, no victim
process dies, the service keeps running, and nothing was made in the runtime directory. When the
attacker cannot make a user namespace at all, the subordinate-uid attacks fail under CI (env CI
set) and are skipped elsewhere.

usage: hostile_users.py --service PATH --client PATH [--seconds S] [--only TEXT] [--no-verdict]
       hostile_users.py --in-namespace MODE SOCKET NUMBERS...  (what the attacker runs in it)
"""
import argparse
import grp
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
ADAPTER_ID = "0x81CE104D"
# What the runtime directory may hold: the socket, its lock, and what this script put there.
RUNTIME_FILES = {PIPE, PIPE + ".lock", "service.log", "zylclient", "hostile_users.py"}
# The attacker's account, made for the run.
ATTACKER_NAME = "zylhostile"
# The attacker's subordinate uids and gids, as useradd grants them, registered in /etc/subuid
# and /etc/subgid for the run.
SUBUID_COUNT = 65536
# How the attacker makes its namespace: uid 0 in it is the attacker, uid n (1..65535) the n-th
# of its subordinate uids.
UNSHARE = ["unshare", "--user", "--map-auto", "--map-root-user", "--"]
# The attacker's Python there: the system's, found by PATH (the one running this may be root's).
NAMESPACE_PYTHON = "python3"
# One command's time: a victim request that takes longer has been held up by someone.
VICTIM_LIMIT_S = 1.0
VICTIM_TIMEOUT_MS = 20000


def free_uid(start):
    """The first uid from `start` on that is neither a user's nor a group's id."""
    uid = start
    while True:
        try:
            pwd.getpwuid(uid)
        except KeyError:
            try:
                grp.getgrgid(uid)
            except KeyError:
                return uid
        uid += 1


def become(uid):
    os.setgroups([])
    os.setgid(uid)
    os.setuid(uid)


def remove_attacker_account():
    """Removes the account (a leftover of a run that was killed, or this run's)."""
    try:
        pwd.getpwnam(ATTACKER_NAME)
        subprocess.run(["userdel", ATTACKER_NAME], check=False, capture_output=True)
    except KeyError:
        pass
    try:
        grp.getgrnam(ATTACKER_NAME)
        subprocess.run(["groupdel", ATTACKER_NAME], check=False, capture_output=True)
    except KeyError:
        pass


def make_attacker_account(uid):
    """An ordinary account with uid and gid `uid`, no home and no login; its subordinate ids
    are registered by the caller."""
    remove_attacker_account()
    for command in (["groupadd", "--gid", str(uid), ATTACKER_NAME],
                    ["useradd", "--uid", str(uid), "--gid", str(uid), "--no-create-home",
                     "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin",
                     "-K", "SUB_UID_COUNT=0", "-K", "SUB_GID_COUNT=0", ATTACKER_NAME]):
        # (useradd warns that the uid lies above UID_MAX: so it is no one's.)
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit("hostile: %s failed: %s" % (command[0], done.stderr.strip()))


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
    def __init__(self, service, attacker, victim, client):
        self.service = service
        self.attacker = attacker
        self.victim = victim
        self.client = client
        self.subuids = None  # the first of the attacker's subordinate uids


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


def hold_connections(world, count, first_bytes):
    """Keeps `count` connections open that sent `first_bytes`, opening a new one for each the
    service closes."""
    import select

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


def keep_queued(path, count, connect_as=None):
    """Keeps `count` complete requests queued, each replaced by a new one as its reply comes
    (or the service drops it): the queue never empties. `connect_as(i)` gives the effective uid
    that makes the i-th connection (inside the attacker's namespace: its subordinate uids), or
    None for the caller's own."""
    import select

    held = {}
    watcher = select.poll()
    serial = 0
    while True:
        while len(held) < count:
            uid = connect_as(serial) if connect_as else None
            serial += 1
            if uid is not None:
                os.seteuid(uid)
            s = quietly(connect, path, False)
            if uid is not None:
                os.seteuid(0)
            if s is None:
                time.sleep(0.01)
                break
            quietly(s.send, count_record())
            held[s.fileno()] = s
            watcher.register(s.fileno(), select.POLLIN)
        for fd, _ in watcher.poll(5):
            quietly(held[fd].recv, 64)
            watcher.unregister(fd)
            held.pop(fd).close()


def attack_queue_full(world):
    keep_queued(world.service.socket, 240)


def attack_make_files(world):
    """Every way a user might get something made in the runtime directory: directly, and by
    connecting (as once, when the service made each user a directory of events)."""
    while True:
        for name in ("events", "fill", PIPE + ".new"):
            quietly(os.mkdir, os.path.join(world.service.dir, name))
            fd = quietly(os.open, os.path.join(world.service.dir, name + ".f"),
                         os.O_WRONLY | os.O_CREAT, 0o666)
            if fd is not None:
                os.close(fd)
        for _ in range(20):
            raw_request(world.service.socket, timeout=0.5)


def in_namespace(mode, *numbers):
    """An attack body: the attacker makes a user namespace of its own and runs `mode` of
    namespace_main in it against the service."""

    def body(world):
        os.chdir("/")
        os.execvpe(UNSHARE[0], UNSHARE + [NAMESPACE_PYTHON, world.script, "--in-namespace", mode,
                                          world.service.socket] + [str(n) for n in numbers],
                   namespace_env())
    return body


def namespace_env():
    env = {"PATH": "/usr/bin:/bin"}
    if os.environ.get("HOSTILE_DEBUG"):
        env["HOSTILE_DEBUG"] = "1"
    return env


def open_as(uid, path):
    """A connection made by `uid` (the effective uid alone, so that the caller keeps its
    capabilities in the namespace), or None while the service's listen queue is full."""
    os.seteuid(uid)
    try:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.connect(path)
        except OSError:
            s.close()
            return None
        return s
    except OSError:
        return None
    finally:
        os.seteuid(0)


def hold_idle(path, uids, per_uid):
    """Keeps `per_uid` connections that send nothing open for each of `uids`, opening a new one
    as the same uid for each the service closes."""
    import select

    held = {}
    wanted = [uid for uid in uids for _ in range(per_uid)]
    watcher = select.poll()
    while True:
        while wanted:
            s = open_as(wanted[-1], path)
            if s is None:
                break
            held[s.fileno()] = (s, wanted.pop())
            watcher.register(s.fileno(), select.POLLIN)
        for fd, _ in watcher.poll(20 if wanted else 1000):
            watcher.unregister(fd)
            s, uid = held.pop(fd)
            s.close()
            wanted.append(uid)


def namespace_main(args):
    """What the attacker runs inside its `unshare --user --map-auto --map-root-user`, as uid 0
    there with every capability over the namespace's uids:
      probe SOCKET A B    a child that has become uid A for good (setresuid) connects, and uid B
                          connects by its effective uid alone, as the attacks do
      queued SOCKET N     N complete requests kept queued, the i-th made by uid 1 + i % N
      idle SOCKET U K W   K connections that send nothing kept open by each of uids 1..U, the
                          uids shared out among W processes"""
    mode, path = args[0], args[1]
    numbers = [int(n) for n in args[2:]]
    try:
        if mode == "probe":
            first, second = numbers
            pid = os.fork()
            if pid == 0:
                os.setgroups([])
                os.setresgid(first, first, first)
                os.setresuid(first, first, first)
                connect(path).recv(1)
                os._exit(0)
            s = open_as(second, path)
            if s is not None:
                s.setblocking(True)
                s.recv(1)
            os.waitpid(pid, 0)
        elif mode == "queued":
            count = numbers[0]
            keep_queued(path, count, lambda i: 1 + i % count)
        elif mode == "idle":
            uids, per_uid, processes = numbers
            for first in range(1, processes + 1):
                if os.fork() == 0:
                    try:
                        hold_idle(path, range(first, uids + 1, processes), per_uid)
                    except BaseException as e:
                        if os.environ.get("HOSTILE_DEBUG"):
                            print("attacker's process %d stopped: %r" % (first, e))
                    os._exit(0)
            while True:
                os.wait()
    except BaseException as e:
        if os.environ.get("HOSTILE_DEBUG"):
            print("attacker in its namespace stopped: %r" % e)
        return 1
    return 0


def namespace_probe(world):
    """Whether the attacker can make its user namespace, and its uids 1 and 3000 there reach a
    socket as its first and its 3000th subordinate uid: (fault or None, unavailable, what was
    seen). `unavailable` when the namespace itself could not be made."""
    import select

    made = subprocess.run(UNSHARE + ["true"], capture_output=True, text=True, env=namespace_env(),
                          cwd="/", preexec_fn=lambda: become(world.attacker))
    if made.returncode != 0:
        return ("no user namespace: %s" % (made.stderr.strip() or "exit %d" % made.returncode),
                True, "")
    directory = tempfile.mkdtemp(prefix="zylhostile-probe-")
    os.chmod(directory, 0o755)
    path = os.path.join(directory, "probe")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    os.chmod(path, 0o666)
    listener.listen(4)
    child = subprocess.Popen(UNSHARE + [NAMESPACE_PYTHON, world.script, "--in-namespace", "probe",
                                        path, "1", "3000"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                             env=namespace_env(), cwd="/",
                             preexec_fn=lambda: become(world.attacker))
    uids, held = [], []
    deadline = time.monotonic() + 10
    try:
        while len(uids) < 2 and time.monotonic() < deadline:
            if select.select([listener], [], [], 0.1)[0]:
                s, _ = listener.accept()
                held.append(s)
                credentials = s.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)
                uids.append(struct.unpack("3i", credentials)[1])
            elif child.poll() is not None:
                break
    finally:
        for s in held:
            s.close()
        listener.close()
        try:
            _, errors = child.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            child.kill()
            _, errors = child.communicate()
        shutil.rmtree(directory, ignore_errors=True)
    expected = [world.subuids, world.subuids + 2999]
    seen = "its uids 1 and 3000 connect as %s" % " and ".join(str(u) for u in sorted(uids))
    if not uids:
        return ("no connection from the namespace: %s" %
                (errors.strip() or "exit %d" % child.returncode)), False, ""
    if sorted(uids) != expected:
        return ("the namespace's uids 1 and 3000 came as %s, not as subordinate uids %d and %d" %
                (sorted(uids), expected[0], expected[1])), False, seen
    return None, False, seen


def slow_writer_victim(world):
    """The victim as a client that writes its record 50 ms after connecting."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        outcome = b"fault"
        try:
            become(world.victim)
            start = time.monotonic()
            s = connect(world.service.socket)
            time.sleep(0.05)
            s.settimeout(VICTIM_TIMEOUT_MS / 1000)
            s.sendall(count_record())
            reply = b""
            while len(reply) < 24:
                piece = s.recv(24 - len(reply))
                if not piece:
                    break
                reply += piece
            took = time.monotonic() - start
            if len(reply) == 24 and struct.unpack("<IIIIiHH", reply)[4] == 1:
                outcome = b"%f" % took
        except BaseException:
            pass
        os.write(write, outcome)
        os._exit(0)
    os.close(write)
    got = os.read(read, 64)
    os.close(read)
    os.waitpid(pid, 0)
    try:
        return float(got), None
    except ValueError:
        return 0.0, "the slow writer got no correct reply"


def first_contact_victim(world):
    """A user the service has never seen, as every user is after a restart."""
    saved = world.victim
    world.victim = free_uid(world.victim + 1000 + int(time.monotonic() * 1000) % 20000)
    try:
        return victim_request(world)
    finally:
        world.victim = saved


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
    os.makedirs(directory, exist_ok=True)
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
    """`descriptors`: the attacker's RLIMIT_NOFILE, when it needs more than it has (root sets
    it, as limits.conf or a unit would); `namespace`: the attack runs in the attacker's user
    namespace; `settle`: seconds it is given before the victim's first request."""

    def __init__(self, name, body, victim_runs=None, check=None, descriptors=None,
                 namespace=False, settle=0.3):
        self.name = name
        self.body = body
        self.victim_runs = victim_runs
        self.check = check
        self.descriptors = descriptors
        self.namespace = namespace
        self.settle = settle


def start_attacker(world, body, descriptors=None):
    pid = os.fork()
    if pid == 0:
        try:
            os.setpgid(0, 0)
            os.umask(0)
            if descriptors:
                import resource

                hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
                resource.setrlimit(resource.RLIMIT_NOFILE, (descriptors, max(hard, descriptors)))
            become(world.attacker)
            body(world)
        except BaseException as e:
            if os.environ.get("HOSTILE_DEBUG"):
                print("attacker stopped: %r" % e)
        os._exit(0)
    quietly(os.setpgid, pid, pid)
    return pid


def stop_attacker(pid):
    quietly(os.killpg, pid, signal.SIGKILL)
    quietly(os.waitpid, pid, 0)


def run_attack(world, attack, seconds):
    pid = start_attacker(world, attack.body, attack.descriptors)
    time.sleep(attack.settle)
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
    stop_attacker(pid)
    problem = nothing_made(world)
    if problem:
        faults.append(problem)
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
    if "writable by others" not in fault:
        return took, "refused without saying why: " + fault
    return took, None


def service_refuses_shared_dir(world, program):
    """The service itself does not start on a runtime directory others can write."""
    shared = tempfile.mkdtemp(prefix="zylhostile-shared-")
    os.chmod(shared, 0o1777)
    start = time.monotonic()
    try:
        done = subprocess.run([program, "--runtime-dir", shared], capture_output=True, text=True,
                              timeout=10)
    except subprocess.TimeoutExpired:
        return time.monotonic() - start, "the service ran on a directory anyone may write"
    finally:
        left = os.listdir(shared)
        shutil.rmtree(shared, ignore_errors=True)
    took = time.monotonic() - start
    if "ZYLCTRL:Refusing the runtime directory" not in done.stderr:
        return took, "no line saying why: " + done.stderr.strip()[-160:]
    if left:
        return took, "it made %s there" % left
    return took, None


def nothing_made(world):
    """Nothing in the runtime directory but the socket, its lock and this script's own files,
    and all of it root's."""
    for name in os.listdir(world.service.dir):
        info = os.lstat(os.path.join(world.service.dir, name))
        if name not in RUNTIME_FILES and name != "root-file":
            return "%s was made in the runtime directory (uid %d)" % (name, info.st_uid)
        if info.st_uid != 0:
            return "%s in the runtime directory belongs to uid %d" % (name, info.st_uid)
    return None


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
    # The attacker is an account of its own (newuidmap and unshare go by its name), the victim
    # just another unused uid.
    remove_attacker_account()
    attacker = free_uid(61000)
    # The attacker's subordinate ids, as useradd would grant them: the service must count the
    # uids all as the attacker. Registered for the run, and both files put back afterwards.
    saved_ids = {}
    first_subuid = 1500000000
    try:
        make_attacker_account(attacker)
        for path in ("/etc/subuid", "/etc/subgid"):
            saved_ids[path] = open(path).read() if os.path.exists(path) else None
            with open(path, "a") as f:
                f.write("%s:%d:%d\n" % (ATTACKER_NAME, first_subuid, SUBUID_COUNT))
        return run(options, attacker, free_uid(attacker + 1), first_subuid)
    finally:
        remove_attacker_account()
        for path, saved in saved_ids.items():
            if saved is None:
                quietly(os.unlink, path)
            else:
                with open(path, "w") as f:
                    f.write(saved)


def run(options, attacker, victim, first_subuid):
    service = Service(options.service)
    # The victim runs its own copy, the attacker this script's: the build tree need not be open
    # to other users.
    client = os.path.join(service.dir, "zylclient")
    shutil.copy(options.client, client)
    os.chmod(client, 0o755)
    world = World(service, attacker, victim, client)
    world.script = os.path.join(service.dir, "hostile_users.py")
    shutil.copy(os.path.abspath(__file__), world.script)
    os.chmod(world.script, 0o644)
    world.subuids = first_subuid
    world.secret = os.path.join(service.dir, "root-file")
    with open(world.secret, "wb") as f:
        f.write(b"root's file\n")
    os.chmod(world.secret, 0o644)

    print("service %s, runtime dir %s; attacker %s uid %d (subordinate uids %d..%d), victim "
          "uid %d" % (options.service, service.dir, ATTACKER_NAME, attacker, world.subuids,
                      world.subuids + SUBUID_COUNT - 1, victim))
    rows = []
    failed = 0
    try:
        namespace_fault, namespace_unavailable, seen = namespace_probe(world)
        print("attacker's user namespace: %s" % (namespace_fault or seen))
        # Outside CI a machine may forbid user namespaces; in CI the subordinate-uid attacks
        # must run.
        skip_namespace = namespace_unavailable and not os.environ.get("CI")
        subprocess.run([world.client, "load", "--runtime-dir", service.dir], check=False,
                       capture_output=True, preexec_fn=lambda: become(victim))
        took, fault = victim_request(world)
        rows.append(("no attack (baseline)", 1, took, [fault] if fault else []))

        attacks = [
            Attack("idle connections (80)", attack_idle),
            Attack("replies never read (40)", attack_no_read),
            Attack("23 bytes and silence (40)", attack_slow_bytes),
            Attack("1 queue kept full (240)", attack_queue_full),
            Attack("1 slow writer behind a full queue", attack_queue_full,
                   victim_runs=slow_writer_victim),
            Attack("2 first contact under a flood", attack_flood,
                   victim_runs=first_contact_victim),
            Attack("3 make files in the runtime dir", attack_make_files,
                   check=secret_unchanged),
            Attack("4 3000 subordinate uids queued", in_namespace("queued", 3000),
                   descriptors=3000 + 256, namespace=True, settle=0.5),
            # 20,800 connections held open by two processes of the namespace.
            Attack("4 1300 subuids x 16 idle each", in_namespace("idle", 1300, 16, 2),
                   descriptors=1300 * 16 // 2 + 256, namespace=True, settle=1.0),
            Attack("connection flood", attack_flood),
        ]
        for attack in attacks:
            if options.only not in attack.name:
                continue
            if attack.namespace and namespace_fault:
                if skip_namespace:
                    print("note: %s skipped: %s" % (attack.name, namespace_fault))
                else:
                    rows.append((attack.name, 0, 0.0, [namespace_fault]))
                continue
            runs, worst, faults = run_attack(world, attack, options.seconds)
            rows.append((attack.name, runs, worst, faults))
        for name, probe in (("fake server, /tmp fallback", fake_server_in_tmp),
                            ("5 fake server, shared dir", fake_server_in_shared_dir),
                            ("5 service on a shared dir",
                             lambda w: service_refuses_shared_dir(w, options.service))):
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
    if sys.argv[1:2] == ["--in-namespace"]:
        sys.exit(namespace_main(sys.argv[2:]))
    sys.exit(main())
