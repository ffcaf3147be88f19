// The stream front of the nginx deployment: rewrites each request line so that nginx's HTTP
// server accepts what the launcher sends. The launcher puts a file name into its request target
// byte for byte, spaces included, and nginx answers 400 to a space in a request line.
// static_release.escape does the same escaping to name the digest files: keep them in step.
var LINE_LIMIT = 16384;
var HEAD_LIMIT = 65536;

var HEX = [48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 65, 66, 67, 68, 69, 70];

// Every byte nginx will not take raw is escaped, and '%' too where a file name stands (the
// path, and the query of the digest script), so that each name has one form of its own. The
// report's query keeps its '%': the launcher has encoded it already.
function escapeTarget(target) {
    var out = [];
    var escapePercent = true;
    for (var i = 0; i < target.length; i++) {
        var b = target[i];
        if (b == 0x3f && escapePercent) escapePercent = startsWith(target, '/md5.php?');
        if (b < 0x21 || b == 0x7f || b == 0x23 || (b == 0x25 && escapePercent)) {
            out.push(0x25, HEX[b >> 4], HEX[b & 15]);
        } else {
            out.push(b);
        }
    }
    return Buffer.from(out);
}

// line ends in LF; anything that is not "method target HTTP/x.y" goes on unchanged.
function rewriteLine(line) {
    var end = line.length - 1;
    if (end > 0 && line[end - 1] == 0x0d) end--;
    var first = line.indexOf(0x20);
    var last = line.lastIndexOf(0x20, end - 1);
    if (first <= 0 || last <= first || last >= end) return line;
    var version = line.slice(last + 1, end).toString();
    if (!/^HTTP\/\d\.\d$/.test(version)) return line;
    return Buffer.concat([line.slice(0, first + 1), escapeTarget(line.slice(first + 1, last)),
                          line.slice(last)]);
}

function startsWith(buf, text) {
    if (buf.length < text.length) return false;
    for (var i = 0; i < text.length; i++) {
        if (buf[i] != text.charCodeAt(i)) return false;
    }
    return true;
}

function filter(s) {
    var state = 'line';  // 'line', 'head' or 'pass'
    var pending = Buffer.alloc(0);
    var headSize = 0;
    var hasBody = false;
    var first = true;
    s.on('upstream', function (data, flags) {
        if (state == 'pass') {
            s.send(data, flags);
            return;
        }
        var buf = pending.length ? Buffer.concat([pending, data]) : data;
        var out = [];
        var at = 0;
        while (state != 'pass') {
            var nl = buf.indexOf(0x0a, at);
            if (nl < 0) break;
            var line = buf.slice(at, nl + 1);
            at = nl + 1;
            if (state == 'line') {
                if (line.length <= 2 && (line[0] == 0x0a || line[0] == 0x0d)) {
                    out.push(line);  // blank lines before a request are allowed
                    continue;
                }
                if (first && startsWith(line, 'PROXY ')) {
                    out.push(line);  // nginx's own header naming the launcher's address
                    first = false;
                    continue;
                }
                first = false;
                out.push(rewriteLine(line));
                state = 'head';
                headSize = 0;
                hasBody = false;
                continue;
            }
            out.push(line);
            headSize += line.length;
            var text = line.toString();
            if (/^(content-length\s*:\s*0*[1-9]|transfer-encoding\s*:)/i.test(text)) hasBody = true;
            if (text == '\r\n' || text == '\n') {
                // A request with a body is passed on untouched from here on.
                state = hasBody ? 'pass' : 'line';
            } else if (headSize > HEAD_LIMIT) {
                state = 'pass';
            }
        }
        var rest = buf.slice(at);
        if (state == 'pass' || rest.length > LINE_LIMIT) {
            out.push(rest);
            rest = Buffer.alloc(0);
            if (state == 'line') state = 'pass';
        }
        pending = rest;
        var bytes = out.length ? Buffer.concat(out) : Buffer.alloc(0);
        if (bytes.length || flags.last) s.send(bytes, flags);
    });
}

export default {filter};
