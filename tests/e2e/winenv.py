"""A desktop for Windows programs under Wine: a private Xvfb display, a Wine prefix of its own
kept alive by one wineserver, and helpers to run programs in it. Used by the launcher's
end-to-end test, its benchmark and the demo.

    with WineDesktop(wine_run, kind, prefix) as desk:
        desk.run([exe, ...]) / desk.start([...]) / desk.path(linux_path)
"""

import os
import subprocess
import time


def windows_path(path):
    """A Linux path as Wine's drive Z: shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineDesktop:
    def __init__(self, wine_run, kind, prefix, display=None):
        self.wine_run = wine_run
        self.kind = kind
        self.prefix = prefix
        self.display = display
        self.xvfb = None
        self.env = dict(os.environ)
        self.env.update(QVB_WINEPREFIX=prefix, WINEPREFIX=prefix, WINEDEBUG="-all")

    def __enter__(self):
        if not self.display:
            read, write = os.pipe()
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten",
                 "tcp"], pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write)
            number = b""
            while not number.endswith(b"\n"):
                chunk = os.read(read, 16)
                if not chunk:
                    raise RuntimeError("Xvfb did not start")
                number += chunk
            os.close(read)
            self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display
        subprocess.run([self.wine_run, self.kind, "--init"], env=self.env, check=True)
        # One wineserver for every program of the run, with Wine's own service processes
        # started once, detached from our pipes.
        subprocess.run(["wineserver", "-p"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.run(["cmd", "/c", "exit"], timeout=120)
        return self

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)

    def command(self, args):
        return [self.wine_run, self.kind] + list(args)

    def start(self, args, env=None, **kw):
        full = dict(self.env)
        full.update(env or {})
        return subprocess.Popen(self.command(args), env=full, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, **kw)

    def run(self, args, env=None, timeout=60):
        proc = self.start(args, env)
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            raise
        return proc.returncode, out.decode("latin-1")

    def map_drive(self, letter, target):
        """Makes the drive letter show the Linux directory target."""
        link = os.path.join(self.prefix, "dosdevices", letter.lower() + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.abspath(target), link)

    def reg_value(self, key, name):
        """The data of a registry value as `reg query` prints it, or None."""
        rc, out = self.run(["reg", "query", key, "/v", name])
        for line in out.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) == 3 and parts[0] == name:
                return parts[2]
            if len(parts) == 2 and parts[0] == name:
                return ""
        return None


def wait_for(condition, timeout, step=0.05):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()
