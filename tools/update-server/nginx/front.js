// The stream front of the nginx deployment: rewrites each request line so that nginx's HTTP
// server accepts what the launcher sends. The launcher puts a file name into its request target
// byte for byte, spaces included, and nginx answers 400 to a space in a request line.
// The escape of qvbkit/release/static.py does the same to name the digest files: keep them in
// step.
//
// njs frees a session's memory only when the session ends, and keeps a copy of every read. So
// each connection has a budget: what the front allocates for it, and every read with a fixed
// cost on top, are counted, and a connection that spends its budget is closed. A line waits
// in the pieces it came in and is joined once, when its end arrives; only new bytes are
// scanned for that end. The common path (a line that needs no change) allocates nothing.

var LINE_LIMIT = 8192;  // nginx's own (large_client_header_buffers 8k): longer lines close
var BUDGET = 1 << 20;  // bytes a connection may cost; a launcher's check takes a few KB
var READ_COST = 768;  // what njs keeps for a read besides its bytes (measured: about 730)
var LINE = 0, HEAD = 1, BODY = 2, PASS = 3;
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

// The line buf[at..nl] (nl at its LF) rewritten into one buffer of its final size, or null
// when it stays as it is: anything that is not "method target HTTP/x.y", or a target with
// nothing to escape.
function rewriteLine(buf, at, nl) {
    var end = nl;
    if (end > at && buf[end - 1] == 0x0d) end--;
    var first = buf.indexOf(0x20, at);
    var last = buf.lastIndexOf(0x20, end - 1);
    if (first <= at || first >= end || last <= first || end - last != 9) return null;
    if (!startsWith(buf, last + 1, 'http/') || buf[last + 7] != 0x2e) return null;
    var percent = true, extra = 0, i, b;
    for (i = first + 1; i < last; i++) {
        b = buf[i];
        if (b == 0x3f && percent) percent = startsWith(buf, first + 1, MD5);
        if (mustEscape(b, percent)) extra += 2;
    }
    if (extra == 0) return null;
    var out = Buffer.alloc(nl + 1 - at + extra);
    var o = buf.copy(out, 0, at, first + 1);
    percent = true;
    for (i = first + 1; i < last; i++) {
        b = buf[i];
        if (b == 0x3f && percent) percent = startsWith(buf, first + 1, MD5);
        if (mustEscape(b, percent)) {
            out[o] = 0x25;
            out[o + 1] = HEX[b >> 4];
            out[o + 2] = HEX[b & 15];
            o += 3;
        } else {
            out[o++] = b;
        }
    }
    buf.copy(out, o, last, nl + 1);
    return out;
}

// The value of a Content-Length line: its digits, or -1 when it holds anything else (nginx
// refuses such a request and closes).
function contentLength(buf, at, nl) {
    var n = 0, digits = 0;
    for (var i = at + 15; i < nl; i++) {
        var b = buf[i];
        if (b >= 0x30 && b <= 0x39) {
            if (++digits > 15) return -1;
            n = n * 10 + b - 0x30;
        } else if (b != 0x20 && b != 0x09 && b != 0x0d) {
            return -1;
        }
    }
    return digits ? n : -1;
}

function filter(s) {
    var state = LINE;
    var fresh = true;  // nothing read yet: nginx's PROXY header comes first
    var length = 0, chunked = false;  // of the request whose head is being read
    var left = 0;  // body bytes still to pass on untouched
    var pieces = null, pieceBytes = 0;  // a line cut by reads, held back until its end
    var spent = 0;

    function spend(bytes) {
        spent += bytes;
        if (spent > BUDGET) throw new Error('front: connection over its budget, closed');
    }

    // Reads the line buf[at..nl]; returns what to send in its place, or null for itself.
    function line(buf, at, nl) {
        var blank = nl == at || (nl == at + 1 && buf[at] == 0x0d);
        if (state == LINE) {
            if (fresh && startsWith(buf, at, 'proxy ')) {
                fresh = false;  // nginx's own header naming the launcher's address
                return null;
            }
            fresh = false;
            if (blank) return null;  // blank lines before a request are allowed
            state = HEAD;
            length = 0;
            chunked = false;
            var out = rewriteLine(buf, at, nl);
            if (out) spend(out.length);
            return out;
        }
        if (blank) {
            // Only a body of known length can be skipped exactly; after a chunked one the
            // rest goes on untouched (nginx refuses bodies anyway).
            if (chunked || length < 0) {
                state = PASS;
            } else if (length > 0) {
                state = BODY;
                left = length;
            } else {
                state = LINE;
            }
        } else if (startsWith(buf, at, 'transfer-encoding:')) {
            chunked = true;
        } else if (startsWith(buf, at, 'content-length:')) {
            length = contentLength(buf, at, nl);
        }
        return null;
    }

    // njs keeps the order of one send per read only, so a changed read goes out in one piece.
    s.on('upstream', function (data, flags) {
        spend(READ_COST + data.length);
        var n = data.length, at = 0, sent = 0, out = null;
        while (at < n && state != PASS) {
            if (state == BODY) {
                var skip = Math.min(left, n - at);
                left -= skip;
                at += skip;
                if (left == 0) state = LINE;
                continue;
            }
            var nl = data.indexOf(0x0a, at);
            if (nl < 0) {
                if (pieceBytes + n - at > LINE_LIMIT) {
                    throw new Error('front: a line over ' + LINE_LIMIT + ' bytes, closed');
                }
                if (at > sent) (out = out || []).push(data.slice(sent, at));
                pieces = pieces || [];
                pieces.push(data.slice(at));
                pieceBytes += n - at;
                sent = at = n;
                break;
            }
            if (pieceBytes + nl + 1 - at > LINE_LIMIT) {
                throw new Error('front: a line over ' + LINE_LIMIT + ' bytes, closed');
            }
            if (pieces) {
                pieces.push(data.slice(at, nl + 1));
                var whole = Buffer.concat(pieces);
                spend(whole.length);
                pieces = null;
                pieceBytes = 0;
                (out = out || []).push(line(whole, 0, whole.length - 1) || whole);
                sent = nl + 1;
            } else {
                var changed = line(data, at, nl);
                if (changed) {
                    out = out || [];
                    if (at > sent) out.push(data.slice(sent, at));
                    out.push(changed);
                    sent = nl + 1;
                }
            }
            at = nl + 1;
        }
        if (flags.last && pieces) {
            (out = out || []).push(Buffer.concat(pieces));  // nginx judges a line cut by a close
            pieces = null;
        }
        if (out == null) {
            s.send(sent == 0 ? data : data.slice(sent), flags);
            return;
        }
        if (sent < n) out.push(data.slice(sent));
        var all = Buffer.concat(out);
        spend(all.length);
        s.send(all, flags);
    });
}

export default {filter};
