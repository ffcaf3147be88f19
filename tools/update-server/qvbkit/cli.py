"""The command line: parses, and hands each command to its room."""

import argparse

from qvbkit.ops import adoption_report, deploy, messages, sandbox, upkeep
from qvbkit.release import publish, replicate, rollout
from qvbkit.serve import server


def main(argv=None):
    parser = argparse.ArgumentParser(description="The reference update server.")
    sub = parser.add_subparsers(dest="command", required=True)
    server.add_arguments(sub.add_parser("serve"))
    publish.add_arguments(sub.add_parser("publish"))
    deploy.add_arguments(sub.add_parser("deploy", help="write an nginx configuration"))
    adoption_report.add_arguments(sub.add_parser("report", help="the release adoption report"))
    upkeep.add_prune_arguments(sub.add_parser(
        "prune", help="take the personal data out of old reports"))
    upkeep.add_backup_arguments(sub.add_parser(
        "backup", help="copy the report store while the service writes"))
    messages.add_arguments(sub.add_parser("message", help="the message queue"))
    replicate.add_arguments(sub.add_parser(
        "replicate", help="copy the published release to another host's root"))
    sandbox.add_arguments(sub.add_parser(
        "sandbox", help="the report unit's drop-in for a PostgreSQL store"))
    rollout.add_arguments(sub.add_parser(
        "rollout", help="the candidate's status, halt, resume and promotion"))
    args = parser.parse_args(argv)
    commands = {"serve": server.serve, "publish": publish.publish, "deploy": deploy.deploy,
                "report": adoption_report.report, "prune": upkeep.prune,
                "backup": upkeep.backup, "message": messages.message,
                "replicate": replicate.replicate, "sandbox": sandbox.sandbox,
                "rollout": rollout.rollout}
    return commands[args.command](args)
