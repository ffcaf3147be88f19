"""The candidate release's rollout, for the operator and for the automatic halt.

  rollout status --root DIR [--db STORE]
  rollout halt --root DIR [--reason TEXT] [--hosts FILE [--replicate] [--rsh CMD]]
  rollout resume --root DIR [--hosts FILE [--replicate] [--rsh CMD]]
  rollout promote --root DIR --sign KEY.pem [--state FILE] [--hosts FILE [--replicate]]
  rollout auto-halt --root DIR --db STORE [--min-reports 50] [--max-failures 0.05] [--hosts ...]

Halting withdraws Candidato.txt and Candidato.sig from the area and the static tree: launchers
then install the stable release again, those that took the candidate included. The two files
are kept as they were in DIR/rollout/, beside the area and never served, so resume puts them
back byte for byte and needs no key; so can a job that halts by itself. With --hosts
--replicate every host switches together, as publish does (see replicate.py). promote
publishes the candidate's own files (checked against its signed manifest) as the next stable
release, which needs the key, and withdraws the candidate.
"""

import argparse
import contextlib
import os
import shutil
import sys

from qvbkit.files import read_file, write_atomically
from qvbkit.release import publish as publishing
from qvbkit.release import replicate, signing, static
from qvbkit.release.candidate import (CANDIDATE_FILES, area, candidate_of, held, is_stale,
                                      put_back, served, stable_sequence, withdraw)
from qvbkit.release.contents import read_version_file
from qvbkit.store.errors import errors
from qvbkit.store.outcomes import outcome_counts
from qvbkit.wire import CONFIG_NAME, OUTCOME_OK, VERSION_FILE, safe_name

MIN_REPORTS = 50  # reports about the candidate before the automatic halt judges it
MAX_FAILURES = 0.05  # the share of those reports that may fail


def should_halt(counts, min_reports, max_failures):
    """Whether outcome counts ({code: reports}) about a live candidate halt it: at least
    min_reports reports, and more than the share max_failures of them failures."""
    total = sum(counts.values())
    failed = total - counts.get(OUTCOME_OK, 0)
    return total >= min_reports and failed > max_failures * total


def serve(args, root):
    """Serves the area as it is now: a fresh static tree, switched here, or on every host
    together with --hosts --replicate. 0, or 1 when no host switched or some did not."""
    try:
        if args.hosts and args.replicate:
            hosts = replicate.hosts_of(args.hosts)
            if not shutil.which("rsync"):
                print("rollout: --replicate needs rsync (apt-get install rsync)",
                      file=sys.stderr)
                return 1
            tree, _ = static.prepare(root)
            return replicate.to_all(args, root, tree, hosts)
        static.build(root)
        for dest in replicate.hosts_of(args.hosts) if args.hosts else []:
            print("replicate with: " + " ".join(replicate.command_for(root, dest, args.rsh)))
        return 0
    except OSError as error:
        print(f"rollout: the area is changed, but not what is served: {error}; run the same"
              " command again", file=sys.stderr)
        return 1


def halt(args, reason=None):
    root = os.path.abspath(args.root)
    c = candidate_of(root)
    if c is not None and c.halted and served(root):
        return serve(args, root)  # a halt whose switch failed: switch again
    if c is None or c.halted:
        print("rollout: no candidate to halt" + (f" ({c.release} is halted already)" if c else ""),
              file=sys.stderr)
        return 1
    why = reason or args.reason or "by hand"
    withdraw(root, why)
    done = serve(args, root)
    print(f"rollout: halted candidate {c.release} (sequence {c.sequence}, {c.folder}): {why}"
          + ("" if done == 0 else "; withdrawn here, but still served where the switch failed"
             " (the next halt or auto-halt switches again)"), file=sys.stderr)
    return done


def resume(args):
    root = os.path.abspath(args.root)
    c = candidate_of(root)
    if c is None or not c.halted:
        print("rollout: no halted candidate to resume", file=sys.stderr)
        return 1
    stable = stable_sequence(root)
    if is_stale(c.sequence, stable):
        # Every launcher refuses a candidate not newer than the stable release it accepted.
        print(f"rollout: candidate {c.release} (sequence {c.sequence}) is not newer than the"
              f" stable release (sequence {stable}): it stays halted; publish a new candidate",
              file=sys.stderr)
        return 1
    put_back(root)
    done = serve(args, root)
    if done == 0:
        shutil.rmtree(held(root), ignore_errors=True)
        print(f"rollout: resumed candidate {c.release} (sequence {c.sequence})",
              file=sys.stderr)
    return done


def status(args):
    root = os.path.abspath(args.root)
    c = candidate_of(root)
    if c is None:
        print("no candidate")
        return 0
    print(f"candidate {c.release}, sequence {c.sequence}, folder {c.folder}")
    print(f"start {c.start}, {c.hours} hours; due now for {100 * c.due():.1f}% of the offices")
    print("halted " + c.reason if c.halted else "live")
    if args.db:
        counts = read_outcomes(args.db, c)
        if counts is None:
            return 1
        total = sum(counts.values())
        print(f"reports {total}: " + (", ".join(f"{code or '(none)'} {n}"
                                               for code, n in sorted(counts.items()))
                                      or "none yet"))
    return 0


def read_outcomes(db, c):
    """The outcome counts of the candidate's release since its start, or None (said why)."""
    try:
        return outcome_counts(db, c.release, c.start)
    except errors() as error:
        print(f"rollout: cannot read {db}: {error}", file=sys.stderr)
        return None


def auto_halt(args):
    """Halts a live candidate once at least min-reports reports name its release and more
    than max-failures of them are failures; quiet otherwise, so a timer can run it often."""
    root = os.path.abspath(args.root)
    c = candidate_of(root)
    if c is not None and c.halted and served(root):
        return serve(args, root)  # a halt whose switch failed: switch again
    if c is None or c.halted:
        return 0
    counts = read_outcomes(args.db, c)
    if counts is None:
        return 1
    if not should_halt(counts, args.min_reports, args.max_failures):
        return 0
    total = sum(counts.values())
    failed = total - counts.get(OUTCOME_OK, 0)
    return halt(args, f"automatic: {failed} of {total} reports on {c.release} failed"
                      f" ({100.0 * failed / total:.1f}%, more than"
                      f" {100.0 * args.max_failures:g}%)")


def promote(args):
    root = os.path.abspath(args.root)
    c = candidate_of(root)
    if c is None or c.halted:
        print("rollout: no live candidate to promote" + (" (resume it first)" if c else ""),
              file=sys.stderr)
        return 1
    folder = os.path.join(area(root), c.folder)
    if not safe_name(c.folder) or os.sep in c.folder or not os.path.isdir(folder):
        print(f"rollout: the candidate's folder {c.folder!r} is not there", file=sys.stderr)
        return 1
    # The candidate's own files, as it signed them: nothing else becomes the stable release.
    work = os.path.join(held(root), "promoting")
    shutil.rmtree(work, ignore_errors=True)
    src = os.path.join(work, "src")
    os.makedirs(src)
    try:
        for name, size, sha in c.files():
            path = os.path.join(folder, name.replace("\\", os.sep))
            if signing.file_digest(path) != (size, sha):
                print(f"rollout: {name} in {c.folder} is not the file the candidate signed",
                      file=sys.stderr)
                return 1
            if name in (CONFIG_NAME, VERSION_FILE):
                continue
            target = os.path.join(src, name.replace("\\", os.sep))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(path, target)
        fields, entries = read_version_file(read_file(os.path.join(folder, VERSION_FILE)))
        date = fields.get("DataVersaoAtual")
        versions = [f"{name}={version}" for name, version in entries]
        # Withdrawn first, so that the one switch publish makes serves the stable release
        # without the candidate; put back if publish fails.
        kept = {n: read_file(os.path.join(area(root), n)) for n in CANDIDATE_FILES
                if os.path.exists(os.path.join(area(root), n))}
        for name in kept:
            os.remove(os.path.join(area(root), name))
        os.rename(folder, os.path.join(work, c.folder))
        publish_args = argparse.Namespace(
            src=src, root=root, version=c.release, date=date,
            config=os.path.join(work, c.folder, CONFIG_NAME), file_version=versions,
            sign=args.sign, sequence=None, candidate=False, hours=None, start=None,
            allow_jump=False, state=args.state, hosts=args.hosts, replicate=args.replicate,
            rsh=args.rsh, authenticode=None)  # its programs were checked when it was published
        done = publishing.publish(publish_args)
        if done != 0:
            os.rename(os.path.join(work, c.folder), folder)
            for name, data in kept.items():
                write_atomically(os.path.join(area(root), name), data)
            serve(args, root)
            print("rollout: the candidate was not promoted and is served again",
                  file=sys.stderr)
            return done
    finally:
        shutil.rmtree(work, ignore_errors=True)
        with contextlib.suppress(OSError):
            os.rmdir(held(root))  # only when empty: nothing is halted
    print(f"rollout: promoted candidate {c.release} to the stable release", file=sys.stderr)
    return 0


def rollout(args):
    return {"status": status, "halt": halt, "resume": resume, "promote": promote,
            "auto-halt": auto_halt}[args.action](args)


def add_arguments(parser):
    parser.set_defaults(reason=None)
    sub = parser.add_subparsers(dest="action", required=True)
    actions = {
        "status": "the candidate, its due share and its outcomes",
        "halt": "withdraw the candidate (no key needed)",
        "resume": "serve the halted candidate again",
        "promote": "publish the candidate's files as the next stable release",
        "auto-halt": "halt the candidate when too many reports about it are failures",
    }
    for action, text in actions.items():
        p = sub.add_parser(action, help=text)
        p.add_argument("--root", required=True, help="the root publish wrote")
        if action in ("status", "auto-halt"):
            p.add_argument("--db", required=action == "auto-halt",
                           help="the report store: a SQLite file or a postgresql:// URL")
        if action == "auto-halt":
            p.add_argument("--min-reports", type=int, default=MIN_REPORTS)
            p.add_argument("--max-failures", type=float, default=MAX_FAILURES,
                           help="the share of failures allowed, 0 to 1")
        if action == "halt":
            p.add_argument("--reason", help="why, kept with the halted candidate")
        if action == "promote":
            p.add_argument("--sign", required=True, metavar="KEY.pem")
            p.add_argument("--state", metavar="FILE", help="the signing state (KEY.pem.sequence)")
        if action != "status":
            p.add_argument("--hosts", metavar="FILE", help="the other hosts' roots, one a line")
            p.add_argument("--replicate", action="store_true",
                           help="with --hosts: switch every host together")
            p.add_argument("--rsh", default="ssh", help="with --hosts: replicate's remote shell")
