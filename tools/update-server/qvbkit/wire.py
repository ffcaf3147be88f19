"""The names and constants the launcher, nginx, the report service and the tools share, each
defined once."""

import re

# The download area, as the launcher asks for it and as a signed manifest names it.
AREA = "files/Contrib/"
AREA_NAME = "Contrib"
NOT_FOUND = b"Arquivo n\xc6o encontrado."  # the answer for a file that is not there
NO_DIGEST = b"OK" + b"0" * 32 + b"OK"  # the digest answer for a file that is not there
REPORT_PATH = "/cgi-bin/QVBrelmoxDLL.dll"
CONFIG_NAME, VERSION_FILE = "QVBrelmox2.ini", "Versao.txt"
DEFAULT_CONFIG = b"[QVBrelmox]\r\n"

# The previous check's outcome a signed build reports (Atualizacao=<release>;<code>), in the
# order the tables show the codes.
OUTCOME_FIELD = "Atualizacao"
OUTCOME_OK = "ok"
OUTCOME_CODES = (OUTCOME_OK, "assinatura", "digest", "gravacao", "prazo", "aplicativo",
                 "editor")

# The signed stable release and the candidate beside it.
MANIFEST, SIGNATURE = "Manifesto.txt", "Manifesto.sig"
CANDIDATE_MANIFEST, CANDIDATE_SIGNATURE = "Candidato.txt", "Candidato.sig"
CANDIDATE_PREFIX = "candidato-"  # the candidate's folder in the area: candidato-<sequence>
CANDIDATE_HOURS_MAX = 2160
HELD = "rollout"  # ROOT/rollout/: a withdrawn candidate's manifest and signature, and why
HELD_REASON = "halted"

# Every stored moment is UTC text in this form (see store.schema).
TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"

# The launcher reads a message's file name from the answer's first 30 bytes and refuses an
# answer over 1 MiB.
MESSAGE_NAME = 30
MESSAGE_LIMIT = (1 << 20) - MESSAGE_NAME

# nginx in front of the report service: nginx waits REPORT_SECONDS for the service, less than
# the launcher's 30 s, so that a message never goes out after the launcher has gone; the
# service serves REPORT_THREADS connections at once.
REPORT_SECONDS = 20
REPORT_THREADS = 64
OFFER_NAME = re.compile(r"[0-9a-f]{32}")  # nginx's $request_id, or the service's own

WINDOWS_REFUSES = set('<>"|?*') | {chr(c) for c in range(32)}


def safe_name(name):
    """Whether the launcher can ask for, and Windows can store, a file of this name."""
    parts = re.split(r"[\\/]", name)
    try:
        name.encode("latin-1")  # Versao.txt carries names in Latin-1
    except UnicodeEncodeError:
        return False
    return (name and not name.startswith(("/", "\\")) and ":" not in name
            and not WINDOWS_REFUSES.intersection(name)
            and all(p.rstrip(". ") != "" or ".." not in p for p in parts) and "=" not in name
            and not name.lstrip().startswith(":"))
