"""What a release's own files hold, written and read by key: the version file (Versao.txt) the
launcher reads, and the lines of a signed manifest (Manifesto.txt, Candidato.txt). Pure
functions: bytes in, bytes out."""

# The version file's frame: the lines the launcher checks before it trusts the list.
START, END = "Start.Ok=1", "End.Ok=1"
PATCH = "Patch:"  # a manifest line of a binary patch, after the file lines
SCHEDULE = ("Pasta", "Inicio", "Horas")  # a candidate's folder, start and hours


def version_file(version, date, entries):
    """Versao.txt for release version of date (DD/MM/YYYY), entries [(name, version)] in
    order."""
    lines = [START, ":VersaoAtual=" + version, ":DataVersaoAtual=" + date]
    lines += [f"{name}={file_version}" for name, file_version in entries]
    lines.append(END)
    return ("\r\n".join(lines) + "\r\n").encode("latin-1")


def read_version_file(data):
    """({field: value} of the ':' lines, [(name, version)] of the listed files) of a version
    file."""
    fields, entries = {}, []
    for line in data.decode("latin-1").splitlines():
        key, mark, value = line.partition("=")
        if not mark or key in (START.partition("=")[0], END.partition("=")[0]):
            continue
        if key.startswith(":"):
            fields[key[1:]] = value
        else:
            entries.append((key, value))
    return fields, entries


def schedule_lines(folder, start, hours):
    """A candidate's lines before its files: its folder, its start (UTC text), its hours."""
    return [f"{key}={value}" for key, value in zip(SCHEDULE, (folder, start, hours))]


def manifest_text(release, sequence, area_name, entries):
    lines = [f"Release={release}", f"Sequence={sequence}", f"Area={area_name}", *entries]
    return ("\r\n".join(lines) + "\r\n").encode("latin-1")


def entry(name, size, sha):
    return f"{name}={size} {sha}"


def read_manifest(data):
    """({key: value} of the lines that are no file, [(name, size, sha256)] of the listed files,
    QVBrelmox2.ini and Versao.txt included). Lines are told apart by their key wherever they
    stand; a file line holds a size and a digest, a patch line starts with Patch:."""
    fields, files = {}, []
    for line in data.decode("latin-1").splitlines():
        key, mark, value = line.partition("=")
        if not mark:
            continue
        size, _, sha = value.partition(" ")
        if key.startswith(PATCH):
            continue
        if size.isdigit() and sha:
            files.append((key, int(size), sha))
        else:
            fields.setdefault(key, value)
    return fields, files
