// The stream front of the nginx deployment: rewrites each request line so that nginx's HTTP
// server accepts what the launcher sends. The launcher puts a file name into its request target
// byte for byte, spaces included, and nginx answers 400 to a space in a request line.
// static_release.escape does the same escaping to name the digest files: keep them in step.
//
// njs frees a session's memory only when the session ends, so the common path allocates
// nothing: data goes on as it came unless a line has to change or is cut by a read.

var LINE_LIMIT = 16384;  // longer lines go on untouched, for nginx to judge
var LINE = 0, HEAD = 1, PASS = 2;
var HEX = [48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 65, 66, 67, 68, 69, 70];
var MD5 = '/md5.php?';

// text in lower case; the bytes compared without regard to ASCII case
function startsWith(buf, at, text) {
    if (buf.length - at < text.length) return false;
    for (var i = 0; i < text.length; i++) {
        var b = buf[at + i];
        if (b >= 65 && b <= 90) b += 32;
        if (b != text.charCodeAt(i)) return false;
    }
    return true;
}

// Every byte nginx will not take raw is escaped, and '%' too where a file name stands (the
// path, and the query of the digest script), so that each name has one form of its own. The
// report's query keeps its '%': the launcher has encoded it already.
function mustEscape(b, percent) {
    return b < 0x21 || b == 0x7f || b == 0x23 || (b == 0x25 && percent);
}

function escapeTarget(buf, from, to) {
    var percent = true, changed = false, i, b;
    for (i = from; i < to; i++) {
        b = buf[i];
        if (b == 0x3f && percent) percent = startsWith(buf, from, MD5);
        if (mustEscape(b, percent)) changed = true;
    }
    if (!changed) return null;
    var out = [];
    percent = true;
    for (i = from; i < to; i++) {
        b = buf[i];
        if (b == 0x3f && percent) percent = startsWith(buf, from, MD5);
        if (mustEscape(b, percent)) {
            out.push(0x25, HEX[b >> 4], HEX[b & 15]);
        } else {
            out.push(b);
        }
    }
    return Buffer.from(out);
}

// The line buf[at..nl] (nl at its LF) rewritten, or null when it stays as it is: anything that
// is not "method target HTTP/x.y", or a target with nothing to escape.
function rewriteLine(buf, at, nl) {
    var end = nl;
    if (end > at && buf[end - 1] == 0x0d) end--;
    var first = buf.indexOf(0x20, at);
    var last = buf.lastIndexOf(0x20, end - 1);
    if (first <= at || first >= end || last <= first || end - last != 9) return null;
    if (!startsWith(buf, last + 1, 'http/') || buf[last + 7] != 0x2e) return null;
    var target = escapeTarget(buf, first + 1, last);
    if (target == null) return null;
    return Buffer.concat([buf.slice(at, first + 1), target, buf.slice(last, nl + 1)]);
}

// Content-Length other than 0, or Transfer-Encoding: the request has a body.
function announcesBody(buf, at, nl) {
    if (startsWith(buf, at, 'transfer-encoding:')) return true;
    if (!startsWith(buf, at, 'content-length:')) return false;
    for (var i = at + 15; i < nl; i++) {
        if (buf[i] >= 0x31 && buf[i] <= 0x39) return true;
    }
    return false;
}

function filter(s) {
    var state = LINE;
    var fresh = true;  // nothing read yet: nginx's PROXY header comes first
    var hasBody = false;
    var pending = null;
    s.on('upstream', function (data, flags) {
        if (state == PASS) {
            s.send(data, flags);
            return;
        }
        var buf = pending ? Buffer.concat([pending, data]) : data;
        pending = null;
        var pieces = null, done = 0, at = 0;
        while (state != PASS) {
            var nl = buf.indexOf(0x0a, at);
            if (nl < 0) break;
            var blank = nl == at || (nl == at + 1 && buf[at] == 0x0d);
            if (state == LINE) {
                if (fresh && startsWith(buf, at, 'proxy ')) {
                    // nginx's own header naming the launcher's address
                } else if (!blank) {  // blank lines before a request are allowed
                    var line = rewriteLine(buf, at, nl);
                    if (line) {
                        pieces = pieces || [];
                        pieces.push(buf.slice(done, at), line);
                        done = nl + 1;
                    }
                    state = HEAD;
                    hasBody = false;
                }
                fresh = false;
            } else if (blank) {
                // A request with a body is passed on untouched from here on.
                state = hasBody ? PASS : LINE;
            } else if (announcesBody(buf, at, nl)) {
                hasBody = true;
            }
            at = nl + 1;
        }
        var end = buf.length;
        if (state != PASS && at < end) {
            if (end - at > LINE_LIMIT) {
                state = PASS;
            } else {
                pending = buf.slice(at);  // a line cut by the read: wait for its end
                end = at;
            }
        }
        if (pieces) {
            pieces.push(buf.slice(done, end));
            s.send(Buffer.concat(pieces), flags);
        } else if (end == buf.length) {
            s.send(buf, flags);
        } else if (end > 0 || flags.last) {
            s.send(buf.slice(0, end), flags);
        }
    });
}

export default {filter};
