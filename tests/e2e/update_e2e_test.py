#!/usr/bin/env python3
"""The launcher's version check (update-check) against the reference update server on loopback:
a release published with `publish`, served with `serve`, brought into a fresh installation; the
request order read from the server's log; the faults; a write interrupted by a kill.
Usage: update_e2e_test.py UPDATE_CHECK [EMULATOR...]"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from e2e_support import SERVER_SCRIPT as SERVER  # noqa: E402
from e2e_support import ReferenceServer as Server  # noqa: E402
from e2e_support import check, publish, read, refused_address, summary  # noqa: E402
from tls_support import Proxy  # noqa: E402

UPDATE_CHECK = sys.argv[1]
EMULATOR = sys.argv[2:]


def program_path(path):
    # A Windows program under Wine sees the Linux file system as drive Z:.
    return "Z:" + path.replace("/", "\\") if EMULATOR else path


def run_check(inst, port, timeout=120, env_server=None, extra=()):
    """Runs one check against the port, or with QVBRELMOX_SERVER set to env_server instead."""
    server = [] if env_server is not None else ["--server", f"127.0.0.1:{port}"]
    env = dict(os.environ, QVBRELMOX_SERVER=env_server) if env_server is not None else None
    done = subprocess.run(EMULATOR + [UPDATE_CHECK, "--dir", program_path(inst), *server,
                                      "--versao-exe", "1.0", *extra],
                          capture_output=True, timeout=timeout, env=env)
    return done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1")


def timed_check(inst, port):
    start = time.time()
    rc, out, err = run_check(inst, port)
    return rc, out + err, time.time() - start


def hostile_servers(inst, root):
    """Servers that stay silent or never stop talking, and an address that does not parse."""
    # Accepts and stays silent: the probe gives up after the client's starting time-out (30 s).
    with Server(root, "--delay", "/Ok:120000") as server:
        rc, out, took = timed_check(inst, server.port)
        check("silent probe: the check ends", rc == 0 and 25 < took < 60, f"{took:.1f} s {out}")
        check("silent probe: no retry, no report", server.requests() == ["GET /Ok HTTP/1.1"],
              server.requests())
    # Silent on a download: that download's own 5 s time-out applies, not the starting one.
    with Server(root, "--delay", "/files/Contrib/QVBrelmox2.ini:120000") as server:
        rc, out, took = timed_check(inst, server.port)
        check("silent download: its own time-out", rc == 0 and took < 20, f"{took:.1f} s {out}")
        check("silent download: the check stops there",
              [line.split("?")[0] for line in server.requests()] ==
              ["GET /Ok HTTP/1.1", "GET /cgi-bin/QVBrelmoxDLL.dll",
               "GET /files/Contrib/QVBrelmox2.ini HTTP/1.1"], server.requests())
    # A probe without end: a failed fetch after the 1 MiB bound, long before the stream ends.
    with Server(root, "--endless", "/Ok") as server:
        proc = subprocess.Popen(EMULATOR + [UPDATE_CHECK, "--dir", program_path(inst), "--server",
                                            server.address], stdout=subprocess.PIPE)
        out = proc.stdout.read().decode("latin-1")
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = 0
        streamed = server.streamed()
        check("endless probe: the check ends", os.waitstatus_to_exitcode(status) == 0
              and "box:" not in out and len(server.requests()) == 1, out)
        check("endless probe: read stops at the bound", streamed and streamed[0] < 32 << 20,
              streamed)
        # Native: the process's own peak; under Wine that of the loader, Wine's own included.
        check("endless probe: memory stays flat", usage.ru_maxrss < (64 << 10 if not EMULATOR
                                                                     else 512 << 10),
              f"{usage.ru_maxrss} KiB")
    # Interim answers without end: the probe fails after a few, and the check ends at once.
    with Server(root, "--interim", "/Ok:200") as server:
        rc, out, took = timed_check(inst, server.port)
        check("interim flood: the check ends", rc == 0 and took < 15 and "box:" not in out,
              f"{took:.1f} s {out}")
        check("interim flood: one probe, no retry", server.requests() == ["GET /Ok HTTP/1.1"],
              server.requests())
    # Versao.txt without end: read whole into memory, so it stops at its bound, and the
    # process stays small (Wine's own memory included under Wine).
    with Server(root, "--endless", "/files/Contrib/Versao.txt") as server:
        rc, out, err = run_check(inst, server.port, extra=["--peak-memory", "1"])
        streamed = server.streamed()
        peak = [int(line[6:]) for line in out.splitlines() if line.startswith("peak: ")]
        check("endless version file: the check ends", rc == 0 and "box:" not in out, out + err)
        check("endless version file: read stops at the bound",
              streamed and streamed[0] < 32 << 20, f"{streamed} {server.requests()} {out}")
        check("endless version file: peak working set under 64 MiB",
              peak and peak[0] < 64 << 20, peak)
    # A report answered without end, chunked: no message file, and the check goes on.
    messages = sorted(os.listdir(os.path.join(inst, "Msg")))
    with Server(root, "--endless-chunked", "/cgi-bin/") as server:
        rc, out, took = timed_check(inst, server.port)
        streamed = server.streamed()
        check("endless report: the check goes on", rc == 0 and any(
            "QVBrelmox2.ini" in line for line in server.requests()), server.requests())
        check("endless report: read stops at the bound", streamed and streamed[0] < 32 << 20,
              streamed)
        check("endless report: no message file",
              sorted(os.listdir(os.path.join(inst, "Msg"))) == messages)
    # An address setting that does not parse: one message naming it, and no server at all.
    bad = "127.0.0.1:70000"
    before = read(os.path.join(inst, "QVBrelmox.ini"))
    rc, out, err = run_check(inst, 0, env_server=bad)
    check("bad server address: one message naming it", rc == 0 and out.count("box:") == 1
          and f'QVBRELMOX_SERVER: "{bad}"' in out, out + err)
    check("bad server address: nothing changed",
          read(os.path.join(inst, "QVBrelmox.ini")) == before)


def listed_files(root):
    text = read(os.path.join(root, "files", "Contrib", "Versao.txt")).decode("latin-1")
    names = [line.partition("=")[0] for line in text.splitlines() if "=" in line]
    return [n for n in names if n and not n.startswith(":") and n not in ("Start.Ok", "End.Ok")]


def budget_servers(work, root):
    """Servers that answer rightly but slowly: the check as a whole keeps to its budget."""
    # Every listed file refused with a 416 whose head comes one byte every 10 s: no range was
    # asked, so nothing is tried again, and each file has one allowance however it fails.
    refused = [a for n in listed_files(root)
               for a in ("--trickle-head", "/files/Contrib/" + n.replace("\\", "/") + ":10000")]
    for label, fault, bound in (
            ("416 heads trickled", refused, 75),
            # Every answer in six pieces, 4.5 s apart: within each wait and each fetch's own
            # deadline, but the fetches in memory share 60 s.
            ("paced answers", ["--pace", "/:4500"], 75),
            # One byte every 10 s meets every 15 s wait: abandoned at the low-speed limit.
            ("trickled listed file", ["--trickle", "/files/Contrib/QVBrelmoxApp.exe:10000"], 60)):
        inst = os.path.join(work, "budget-" + label.split()[0])
        os.makedirs(os.path.join(inst, "sub"))
        with open(os.path.join(inst, "QVBrelmox.ini"), "wb") as f:
            f.write(b"[Unidade]\r\nUnidade=77\r\n")
        with Server(root, *fault) as server:
            rc, out, took = timed_check(inst, server.port)
            log = server.requests()
        print(f"{label}: the check took {took:.1f} s")
        check(f"{label}: the check ends within {bound} s", rc == 0 and took < bound,
              f"{took:.1f} s {out}")
        if label == "416 heads trickled":
            asked = [line for line in log if "/files/Contrib/" in line and "md5" not in line]
            check(f"{label}: each listed file asked once, the rest left at the budget",
                  asked and len(set(asked)) == len(asked)
                  and len(asked) < len(listed_files(root)), log)
        elif label == "paced answers":
            check(f"{label}: cut by the budget, no box", "box:" not in out
                  and not os.path.exists(os.path.join(inst, "QVBrelmoxApp.exe")), log)
        else:
            check(f"{label}: its box, and the other files installed",
                  out.count("box:") == 1 and "QVBrelmoxApp.exe no servidor" in out
                  and os.path.exists(os.path.join(inst, "QVBrelmox.new")), out)


def resumed_through_nginx(work):
    """nginx answers ranges itself: a listed file cut short goes on from where it stopped, in
    the same check, and at the next start after a check whose every attempt was cut."""
    from e2e_support import Deployment
    src, root = os.path.join(work, "rsrc"), os.path.join(work, "rroot")
    body = os.urandom(3 << 20)
    os.makedirs(src)
    with open(os.path.join(src, "grande.dat"), "wb") as f:
        f.write(body)
    publish(src, root, "1.0")
    # (label, the cuts each start meets, the bytes each cut lets through): one cut, which the
    # same start gets over; then a start whose every attempt is cut (16 attempts of 64 KiB
    # cannot bring 3 MiB), and the next one, which asks only for the rest.
    for label, starts, after in (("cut once", [1], 1 << 20),
                                 ("cut at every attempt of a start", [1000, 0], 64 << 10)):
        inst = os.path.join(work, "resume-" + str(len(starts)))
        os.makedirs(inst)
        with open(os.path.join(inst, "QVBrelmox.ini"), "wb") as f:
            f.write(b"[Unidade]\r\nUnidade=77\r\n")
        outs, kept = [], []
        with Deployment(root) as deployment:
            for cuts in starts:
                with Proxy(deployment.port,
                           cut=("/files/Contrib/grande.dat", after, cuts)) as relay:
                    outs.append(run_check(inst, relay.port)[1])
                kept.append(os.path.exists(os.path.join(inst, "grande.dat.qvbpart")))
            log = read(os.path.join(deployment.conf_dir, "logs", "access.log")).decode("latin-1")
        answers = [line for line in log.splitlines() if "grande.dat HTTP" in line]
        check(f"resumed through nginx, {label}: the file whole, nothing left beside it",
              os.path.exists(os.path.join(inst, "grande.dat"))
              and read(os.path.join(inst, "grande.dat")) == body and kept[-1] is False, outs)
        check(f"resumed through nginx, {label}: nginx answered the rest with 206",
              any('" 206 ' in line for line in answers), answers)
        check(f"resumed through nginx, {label}: " + ("no box" if len(starts) == 1 else
                                                      "one box and the bytes kept, then none"),
              [out.count("box:") for out in outs] == [0] * (len(starts) == 1) + [1, 0] * (
                  len(starts) == 2) and kept[0] == (len(starts) == 2), (outs, kept))


def ini_value(inst, section, key):
    current = None
    for line in read(os.path.join(inst, "QVBrelmox.ini")).decode("latin-1").splitlines():
        line = line.strip()
        if line.startswith("["):
            current = line.strip("[]").lower()
        elif current == section.lower() and "=" in line:
            k, _, v = line.partition("=")
            if k.strip().lower() == key.lower():
                return v.strip()
    return None


def main():
    work = tempfile.mkdtemp(prefix="qvb-e2e-")
    try:
        src, root = os.path.join(work, "src"), os.path.join(work, "root")
        os.makedirs(os.path.join(src, "sub"))
        files = {"QVBrelmoxApp.exe": b"MZ app 3.1", "QVBrelmox.new": b"MZ launcher 2",
                 "sub\\tabela com espaco.dat": bytes(range(256)) * 40}
        for name, body in files.items():
            with open(os.path.join(src, name.replace("\\", "/")), "wb") as f:
                f.write(body)
        publish(src, root, "3.1")
        server = Server(root)
        inst = os.path.join(work, "inst")
        os.makedirs(os.path.join(inst, "sub"))
        with open(os.path.join(inst, "QVBrelmox.ini"), "wb") as f:
            f.write(b"[Unidade]\r\nUnidade=77\r\nUsuario=Jos\xe9 Lima\r\n")
        try:
            rc, out, err = run_check(inst, server.port)
            check("first check ends well", rc == 0, out + err)
            names = sorted(files)
            expected = ["GET /Ok HTTP/1.1"]
            for name in ["QVBrelmox2.ini", "Versao.txt"] + names:
                wire = name.replace("\\", "/")
                expected += [f"GET /files/Contrib/{wire} HTTP/1.1",
                             f"GET /md5.php?files/Contrib/{wire} HTTP/1.1"]
            log = server.requests()
            check("request order", [l for l in log if "QVBrelmoxDLL" not in l] == expected
                  and log[1].startswith("GET /cgi-bin/QVBrelmoxDLL.dll?Versao=&IP=")
                  and "&Unid=77&User=Jos%E9%20Lima&" in log[1], "\n".join(log))
            for name, body in files.items():
                check(f"file {name}", read(os.path.join(inst, name.replace("\\", "/"))) == body)
            check("version recorded", ini_value(inst, "Versao", "VersaoAtual") == "3.1")
            check("date recorded", ini_value(inst, "Versao", "DataVersaoAtual") == "01/02/2026")
            check("label", "label: Vers\xe3o 3.1" in out, out)

            server.clear_log()
            rc, out, err = run_check(inst, server.port)
            check("second check fetches only the configuration", len(server.requests()) == 6,
                  "\n".join(server.requests()))
        finally:
            server.stop()

        # A message file queued for the unit arrives in Msg\ with the report's answer.
        queue = os.path.join(work, "messages", "77")
        os.makedirs(queue)
        with open(os.path.join(queue, "aviso.txt"), "wb") as f:
            f.write(b"Leia o aviso\r\n")
        os.makedirs(os.path.join(inst, "Msg"))
        server = Server(root, "--messages", os.path.join(work, "messages"))
        try:
            run_check(inst, server.port)
            check("message file", os.path.exists(os.path.join(inst, "Msg", "aviso.txt"))
                  and read(os.path.join(inst, "Msg", "aviso.txt")) == b"Leia o aviso\r\n")
            check("message consumed", not os.listdir(queue))
        finally:
            server.stop()

        # A wrong digest: the message, and nothing written for that file.
        with open(os.path.join(src, "QVBrelmoxApp.exe"), "wb") as f:
            f.write(b"MZ app 3.2")
        publish(src, root, "3.2")
        server = Server(root, "--wrong-digest", "QVBrelmoxApp.exe", "--close-times", "/Ok:2")
        try:
            rc, out, err = run_check(inst, server.port)
            check("wrong digest message",
                  "box: N\xe3o consegui buscar QVBrelmoxApp.exe no servidor..." in out, out)
            check("wrong digest keeps the file", read(os.path.join(inst, "QVBrelmoxApp.exe"))
                  == b"MZ app 3.1")
            check("probe retried after closes", server.requests()[:3] == ["GET /Ok HTTP/1.1"] * 3,
                  "\n".join(server.requests()[:4]))
        finally:
            server.stop()

        # A body cut short fails its digest; a chunked answer and a 500 for another file.
        for name, body in (("cut.dat", b"c" * 5000), ("chunked.dat", b"k" * 9000),
                           ("error.dat", b"e")):
            with open(os.path.join(src, name), "wb") as f:
                f.write(body)
        publish(src, root, "3.3")
        server = Server(root, "--cut-short", "/files/Contrib/cut.dat:100", "--chunked",
                        "/files/Contrib/chunked.dat", "--status", "/files/Contrib/error.dat:500")
        try:
            rc, out, err = run_check(inst, server.port)
            check("cut short fails", "box: N\xe3o consegui buscar cut.dat no servidor..." in out, out)
            check("500 fails", "box: N\xe3o consegui buscar error.dat no servidor..." in out, out)
            check("chunked arrives", read(os.path.join(inst, "chunked.dat")) == b"k" * 9000)
            check("failed files not written", not os.path.exists(os.path.join(inst, "cut.dat"))
                  and not os.path.exists(os.path.join(inst, "error.dat")))
        finally:
            server.stop()
        for name in ("cut.dat", "chunked.dat", "error.dat"):
            os.remove(os.path.join(src, name))

        # publish refuses names the launcher would refuse or misread.
        bad = os.path.join(work, "bad")
        os.makedirs(bad)
        open(os.path.join(bad, "a=b.dat"), "wb").close()
        refused = subprocess.run([sys.executable, SERVER, "publish", bad, "--root",
                                  os.path.join(work, "badroot"), "--version", "1"],
                                 capture_output=True, text=True)
        check("publish refuses a name with =", refused.returncode == 1 and "a=b.dat" in refused.stderr,
              refused.stderr)

        # Server unreachable: nothing changes.
        before = read(os.path.join(inst, "QVBrelmox.ini"))
        rc, out, err = run_check(inst, int(refused_address().rpartition(":")[2]))
        check("unreachable server", rc == 0 and read(os.path.join(inst, "QVBrelmox.ini")) == before
              and "box:" not in out, out + err)

        hostile_servers(inst, root)
        budget_servers(work, root)
        resumed_through_nginx(work)

        # A write killed halfway leaves the old file and its recorded version. A listed file
        # arrives in a partial file of ours (this server gives no validator, so the next start
        # cannot go on from it and drops it); a temporary file of ours would do as well.
        def is_ours(n):
            return n.startswith(".big.dat.") or n == "big.dat.qvbpart" or (
                n.startswith("qvb") and n.endswith(".tmp"))

        with open(os.path.join(src, "big.dat"), "wb") as f:
            f.write(os.urandom(1 << 20) * 160)
        publish(src, root, "4.0", "--file-version", "big.dat=v2")
        with open(os.path.join(inst, "big.dat"), "wb") as f:
            f.write(b"old contents")
        server = Server(root)
        try:
            proc = subprocess.Popen(EMULATOR + [UPDATE_CHECK, "--dir", program_path(inst),
                                                "--server", f"127.0.0.1:{server.port}"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
            # The kill waits for big.dat's own write: past 1 MiB no other file of ours can be
            # meant. A smaller trigger also fires on QVBrelmox2.ini's temporary, whose rename
            # may win the race against the kill, and then nothing stale is left to remove.
            seen = False
            deadline = time.time() + 120
            while time.time() < deadline and proc.poll() is None:
                try:
                    seen = any(os.path.getsize(os.path.join(inst, n)) > 1 << 20
                               for n in os.listdir(inst) if is_ours(n))
                except FileNotFoundError:
                    seen = False  # renamed while we looked
                if seen:
                    os.killpg(proc.pid, signal.SIGKILL)
                    break
                time.sleep(0.002)
            proc.wait(timeout=30)
            check("the write was caught halfway", seen)
            check("killed write keeps the old file",
                  read(os.path.join(inst, "big.dat")) == b"old contents")
            check("killed write keeps the recorded version",
                  ini_value(inst, "Versao", "big.dat") in (None, "0"))

            # The next check removes what the kill left, here and in Msg, and nothing else.
            stale = [n for n in os.listdir(inst) if is_ours(n)]
            msg_stale = "qvb1F.tmp" if EMULATOR else ".aviso.txt.qvb-AbC123.tmp"
            user = ["qvbnotes.tmp", "qvb12345.tmp", ".big.dat.old", "big.dat.AbC123"]
            for name in [os.path.join("Msg", msg_stale)] + user:
                with open(os.path.join(inst, name), "wb") as f:
                    f.write(b"x")
            rc, out, err = run_check(inst, server.port)
            check("stale temporaries removed", stale and not any(
                os.path.exists(os.path.join(inst, n)) for n in stale) and not os.path.exists(
                os.path.join(inst, "Msg", msg_stale)), f"{stale} {os.listdir(inst)}")
            check("files of similar names kept",
                  all(os.path.exists(os.path.join(inst, n)) for n in user), os.listdir(inst))
            check("the interrupted file arrives the next time", rc == 0
                  and read(os.path.join(inst, "big.dat")) == read(os.path.join(src, "big.dat")))
        finally:
            server.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("update e2e")


if __name__ == "__main__":
    sys.exit(main())
