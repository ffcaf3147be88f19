#include "http/IdHTTP.h"

#include "support/MemoryIOHandler.h"
#include "support/ScriptedPeer.h"

#include <chrono>
#include <gtest/gtest.h>

namespace {

using Chunks = std::vector<std::string>;

// A client whose transport is held in memory and plays the given answer.
struct TMemoryHTTP {
    explicit TMemoryHTTP(Chunks chunks, bool stayOpen = false)
        : transport(std::move(chunks), stayOpen) {
        transport.Open();
        http.SetHost("h");
        http.SetIOHandler(&transport);
    }
    ~TMemoryHTTP() { http.SetIOHandler(nullptr); }
    TMemoryIOHandler transport;
    TIdHTTP http;
};

// Runs GetToString on every fragmentation of the answer and checks each gives the same.
void ExpectBody(const std::string& answer, const std::string& body, int code = 200) {
    for (const Chunks& chunks : TMemoryIOHandler::Splits(answer)) {
        TMemoryHTTP m(chunks);
        ASSERT_EQ(m.http.GetToString("/x"), body) << answer;
        EXPECT_EQ(m.http.ResponseCode(), code) << answer;
    }
}

template <class E> E Raised(TMemoryHTTP& m, const std::string& url = "/x") {
    try {
        m.http.GetToString(url);
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "no exception for " << url;
    throw std::logic_error("no exception");
}

const std::string Ok = "HTTP/1.1 200 OK\r\n";

} // namespace

TEST(IdHTTP, BodiesByLengthChunksAndClose) {
    ExpectBody(Ok + "Content-Length: 5\r\n\r\nhello", "hello");
    ExpectBody("HTTP/1.1 100 Continue\r\n\r\n" + Ok + "Content-Length: 2\r\n\r\nok", "ok");
    ExpectBody(Ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "hello");
    ExpectBody(Ok + "Transfer-Encoding: chunked\r\n\r\n2 ;x=1\r\nab\r\nA\r\n0123456789\r\n0\r\n"
                    "X-Trailer: t\r\n\r\n",
               "ab0123456789");
    ExpectBody(Ok + "Content-Length: 3\r\n\r\nabcdef", "abc");
    ExpectBody(Ok + "\r\nuntil the close", "until the close");
    ExpectBody(Ok + "Content-Length: abc\r\n\r\nall of it", "all of it");
    ExpectBody(Ok + "Content-Length: -4\r\n\r\nall of it", "all of it");
    ExpectBody(Ok + "Content-Length: 0\r\n\r\nignored", "");
    ExpectBody("HTTP/1.0 200 OK\r\nContent-Length: 5000000000\r\n\r\nshort", "short");
    ExpectBody("HTTP/1.1 204 No Content\r\n\r\nbytes after", "", 204);
}

TEST(IdHTTP, ChunkSizeLinesWithExtensionsBlanksAndLeadingZeros) {
    const std::string head = Ok + "Transfer-Encoding: chunked\r\n\r\n";
    for (const char* size : {"5;name=value", "5 ;name=value", " 5\t", "5;a=b;c=\"d e\"",
                             "000000000000000000000005", "5 trailing words", "5\tword"})
        ExpectBody(head + size + "\r\nhello\r\n0;last=1\r\n\r\n", "hello");
}

TEST(IdHTTP, MalformedChunkSizesAreProtocolErrors) {
    // Each once would have ended the body early and passed the short body as whole.
    const std::string head = Ok + "Transfer-Encoding: chunked\r\n\r\n";
    for (const char* size : {"zz", "", " ", ";ext", "5x", "-5", "0x5", "1000000000000000"}) {
        for (const Chunks& chunks :
             TMemoryIOHandler::Splits(head + "3\r\nabc\r\n" + size + "\r\nhello\r\n0\r\n\r\n")) {
            TMemoryHTTP m(chunks);
            Raised<EIdHTTPChunkError>(m);
        }
    }
    // Fifteen significant digits still fit: the size is taken, and the body is cut short.
    TMemoryHTTP big({head + "0fffffffffffffff\r\nab"});
    Raised<EIdConnClosedGracefully>(big);
}

TEST(IdHTTP, ChunkDataMustEndWhereItsSizeSays) {
    // Stray bytes before the line end: the sizes and the data disagree, whatever follows.
    const std::string head = Ok + "Transfer-Encoding: chunked\r\n\r\n";
    for (const char* body :
         {"5\r\nhelloXX\r\n0\r\n\r\n", "3\r\nhello\r\n0\r\n\r\n", "5\r\nhello \r\n0\r\n\r\n"})
        for (const Chunks& chunks : TMemoryIOHandler::Splits(head + body)) {
            TMemoryHTTP m(chunks);
            Raised<EIdHTTPChunkError>(m);
        }
}

TEST(IdHTTP, InterimAnswersAreCounted) {
    // Each interim answer would start the read time-out again: a peer could send them for ever.
    std::string interim;
    for (int i = 0; i < IdMaxInterimResponses; ++i)
        interim += "HTTP/1.1 100 Continue\r\n\r\n";
    TMemoryHTTP most({interim + Ok + "Content-Length: 2\r\n\r\nok"});
    EXPECT_EQ(most.http.GetToString("/x"), "ok");
    TMemoryHTTP past(
        {interim + "HTTP/1.1 100 Continue\r\n\r\n" + Ok + "Content-Length: 2\r\n\r\nok"});
    EXPECT_EQ(Raised<EIdException>(past).Message(), "Too many interim responses.");
    EXPECT_FALSE(past.http.Connected());
}

TEST(IdHTTP, ErrorAnswersRaiseWithCodeStatusAndBody) {
    {
        TMemoryHTTP m({"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"});
        auto e = Raised<EIdHTTPProtocolException>(m);
        EXPECT_EQ(e.ErrorCode(), 404);
        EXPECT_EQ(e.Message(), "HTTP/1.1 404 Not Found");
        EXPECT_EQ(e.ErrorBody(), "");
        EXPECT_EQ(m.http.ResponseCode(), 404);
        EXPECT_EQ(m.http.StatusLine(), "HTTP/1.1 404 Not Found");
        EXPECT_EQ(m.http.RedirectCount, 1);
    }
    for (const Chunks& chunks : TMemoryIOHandler::Splits(
             "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 10\r\n\r\n0123456789")) {
        TMemoryHTTP m(chunks);
        auto e = Raised<EIdHTTPProtocolException>(m);
        EXPECT_EQ(e.ErrorCode(), 302);
        EXPECT_EQ(e.Message(), "HTTP/1.1 302 Found");
        EXPECT_EQ(e.ErrorBody(), "0123456789");
    }
    const struct {
        std::string answer;
        int code;
    } cases[] = {
        {Ok + "Location: /elsewhere\r\nContent-Length: 0\r\n\r\n", 200},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 0\r\n\r\n", 304},
        {"HTTP/1.1 500 Oops\r\n\r\nerror until close", 500},
        {"HTTP/1.1 101 Switching\r\nContent-Length: 0\r\n\r\n", 101},
        {"garbage\r\n\r\n", -1},
        {"HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n", 401},
        {"HTTP/1.1 407 Proxy\r\nProxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 0\r\n\r\n",
         407},
    };
    for (const auto& c : cases) {
        TMemoryHTTP m({c.answer});
        EXPECT_EQ(Raised<EIdHTTPProtocolException>(m).ErrorCode(), c.code) << c.answer;
    }
}

TEST(IdHTTP, CloseRightAfterTheStatusLineAndAfterAHeader) {
    TMemoryHTTP bare({Ok});
    Raised<EIdConnClosedGracefully>(bare);
    // The headers read so far stay; a 2xx whose connection is gone is an undefined situation.
    TMemoryHTTP header({Ok + "Server: s\r\n"});
    EXPECT_EQ(Raised<EIdException>(header).Message(), "Undefined situation");
    EXPECT_EQ(header.http.Response().Server, "s");
}

TEST(IdHTTP, RedirectsFollowedWithinTheLimit) {
    TMemoryHTTP m({"HTTP/1.1 302 Found\r\nLocation: /next/page\r\nContent-Length: 3\r\n\r\nabc",
                   Ok + "Content-Length: 4\r\n\r\ndone"});
    m.http.HandleRedirects = true;
    TMemoryStream stream("pre");
    stream.SetPosition(3);
    m.http.GetToStream("/first", stream);
    EXPECT_EQ(stream.Data(), "predone");
    EXPECT_NE(m.transport.sent.find("GET /next/page HTTP/1.1\r\n"), std::string::npos);
    EXPECT_EQ(m.http.RedirectCount, 0);

    // At the limit the redirect answer itself is final; its body is dropped.
    TMemoryHTTP limit({"HTTP/1.1 301 Moved\r\nLocation: /y\r\nContent-Length: 3\r\n\r\nabc"});
    limit.http.HandleRedirects = true;
    limit.http.RedirectMaximum = 1;
    EXPECT_EQ(limit.http.GetToString("/x"), "");
    EXPECT_EQ(limit.http.Response().Location, "/y");

    // An OnRedirect handler may refuse.
    TMemoryHTTP refused({"HTTP/1.1 302 Found\r\nLocation: /y\r\nContent-Length: 0\r\n\r\n"});
    refused.http.HandleRedirects = true;
    refused.http.OnRedirect = [](TIdCustomHTTP*, std::string&, int, bool& handled, TIdHTTPMethod&) {
        handled = false;
    };
    EXPECT_EQ(Raised<EIdHTTPProtocolException>(refused).ErrorCode(), 302);
}

TEST(IdHTTP, BasicChallengesAndRetries) {
    const std::string challenge = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic "
                                  "realm=\"r\"\r\nContent-Length: 0\r\n\r\n";
    // No credentials: the authenticator stays attached and its value goes out from then on.
    TMemoryHTTP anonymous({challenge, Ok + "Content-Length: 0\r\n\r\n"});
    EXPECT_EQ(Raised<EIdHTTPProtocolException>(anonymous).ErrorCode(), 401);
    ASSERT_TRUE(anonymous.http.Request().Authenticator);
    anonymous.transport.sent.clear();
    anonymous.http.GetToString("/again");
    EXPECT_NE(anonymous.transport.sent.find("\r\nAuthorization: Basic Og==\r\n"),
              std::string::npos);

    TMemoryHTTP withUser({challenge, Ok + "Content-Length: 2\r\n\r\nin"});
    withUser.http.Request().Username = "user";
    withUser.http.Request().Password = "pass";
    withUser.http.HTTPOptions |= hoInProcessAuth;
    EXPECT_EQ(withUser.http.GetToString("/x"), "in");
    EXPECT_NE(withUser.transport.sent.find("Authorization: Basic dXNlcjpwYXNz"), std::string::npos);
    EXPECT_EQ(withUser.http.RedirectCount, 0);

    // Wrong credentials: the first request and three attempts with them, then the 401 is final.
    TMemoryHTTP wrong({challenge, challenge, challenge, challenge, challenge});
    wrong.http.Request().Username = "user";
    wrong.http.HTTPOptions |= hoInProcessAuth;
    int asked = 0;
    wrong.http.OnAuthorization = [&](TIdCustomHTTP*, TIdAuthentication*, bool&) { ++asked; };
    EXPECT_EQ(Raised<EIdHTTPProtocolException>(wrong).ErrorCode(), 401);
    EXPECT_EQ(asked, 0);
    std::size_t requests = 0;
    for (std::size_t at = 0; (at = wrong.transport.sent.find("GET ", at)) != std::string::npos;
         ++at)
        ++requests;
    EXPECT_EQ(requests, 4u);

    // A handler that approves without a user name is asked at most AuthRetries times, and the
    // request then fails instead of looping.
    TMemoryHTTP nameless({challenge, challenge});
    nameless.http.HTTPOptions |= hoInProcessAuth;
    int approvals = 0;
    nameless.http.OnAuthorization = [&](TIdCustomHTTP*, TIdAuthentication* auth, bool& handled) {
        if (++approvals > 20)
            throw std::runtime_error("the hand-shake does not end");
        auth->SetUsername("");
        handled = true;
    };
    EXPECT_EQ(Raised<EIdHTTPProtocolException>(nameless).ErrorCode(), 401);
    EXPECT_LE(approvals, nameless.http.AuthRetries);
    EXPECT_LE(nameless.http.Request().Authenticator->Fields.Count(), 20);

    // A 401 without a known scheme is final at once.
    TMemoryHTTP unknown({"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest x\r\n\r\n"});
    EXPECT_EQ(Raised<EIdHTTPProtocolException>(unknown).ErrorCode(), 401);
}

TEST(IdHTTP, KeepOpenFollowsTheClientsVersion) {
    const struct {
        TIdHTTPProtocolVersion version;
        std::string connection;
        bool open;
    } cases[] = {
        {pv1_1, "", true},
        {pv1_1, "Connection: close\r\n", false},
        {pv1_1, "Connection:  CLOSE \r\n", false},
        {pv1_0, "", false},
        {pv1_0, "Connection: Keep-Alive\r\n", true},
    };
    for (const auto& c : cases) {
        TMemoryHTTP m({Ok + c.connection + "Content-Length: 1\r\n\r\nx"}, true);
        m.http.ProtocolVersion = c.version;
        EXPECT_EQ(m.http.GetToString("/x"), "x");
        EXPECT_EQ(m.transport.Connected(), c.open) << c.connection;
    }
}

TEST(IdHTTP, TargetsPortsAndRefusedForms) {
    TMemoryHTTP https({});
    EXPECT_EQ(Raised<EIdIOHandlerPropInvalid>(https, "https://h/x").Message(),
              "IOHandler value is not valid");
    EXPECT_NE(https.http.Request().Host.find("h:443"), std::string::npos);

    TMemoryHTTP port({});
    Raised<EConvertError>(port, "http://h:abc/x");
    // A port past 65535 would wrap in the socket address (65616 to 80) while the Host header
    // named the other: nothing goes out.
    for (const char* url : {"http://h:65616/x", "http://h:0/x", "http://h:65536/x"}) {
        TMemoryHTTP out({Ok + "Content-Length: 0\r\n\r\n"});
        Raised<EIdInvalidPort>(out, url);
        EXPECT_EQ(out.transport.sent, "") << url;
    }
    TMemoryHTTP highest({Ok + "Content-Length: 2\r\n\r\nok"});
    EXPECT_EQ(highest.http.GetToString("http://h:65535/x"), "ok");
    EXPECT_NE(highest.transport.sent.find("Host: h:65535\r\n"), std::string::npos);

    TMemoryHTTP options({});
    options.http.ProtocolVersion = pv1_0;
    try {
        options.http.PerformRequest(hmPut, "/x", nullptr, nullptr);
        ADD_FAILURE();
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message(), "This request method is supported in HTTP 1.1");
    }
}

TEST(IdHTTP, ResponseHeadIsBounded) {
    std::string head = Ok;
    for (int i = 0; i < 10001; ++i)
        head += "X: 1\r\n";
    TMemoryHTTP many({head + "\r\n"});
    Raised<EIdException>(many);
    std::string big = Ok;
    for (int i = 0; i < 200; ++i)
        big += "X-Big: " + std::string(8000, 'b') + "\r\n";
    TMemoryHTTP large({big + "\r\n"});
    EXPECT_EQ(Raised<EIdException>(large).Message(), "The response head is too large.");
}

TEST(IdHTTP, ErrorAndRedirectBodiesAreBounded) {
    // A peer that sends far more than any error page: the read stops at the bound.
    Chunks endless{"HTTP/1.1 500 Oops\r\n\r\n"};
    for (int i = 0; i < 40; ++i)
        endless.push_back(std::string(64 << 10, 'e'));
    TMemoryHTTP error(endless);
    Raised<EStreamTooLarge>(error);
    EXPECT_FALSE(error.http.Connected());

    endless[0] = "HTTP/1.1 302 Found\r\nLocation: /y\r\n\r\n";
    TMemoryHTTP redirect(endless);
    redirect.http.HandleRedirects = true;
    redirect.http.RedirectMaximum = 1;
    EXPECT_EQ(redirect.http.GetToString("/x"), "");
    EXPECT_FALSE(redirect.http.Connected()); // never read on as the next answer
}

TEST(IdHTTP, ErrorWithoutLengthOnAnOpenConnectionTimesOut) {
    TMemoryHTTP m({"HTTP/1.1 500 Oops\r\n\r\npartial"}, true);
    Raised<EIdReadTimeout>(m);
    EXPECT_EQ(m.http.ReadTimeout, 0); // restored after the 2 s error-body limit
}

// ---- against a peer on loopback ----

namespace {

TPeerScript Answer(const std::string& response) {
    return {peer::WaitFor("\r\n\r\n"), peer::Send(response), peer::Close()};
}

std::unique_ptr<TIdHTTP> ClientFor(const TScriptedPeer& peer) {
    auto http = std::make_unique<TIdHTTP>();
    http->SetHost("127.0.0.1");
    http->SetPort(peer.Port());
    return http;
}

} // namespace

TEST(IdHTTPWire, ExactRequestHeads) {
    const std::string ok = Ok + "Content-Length: 2\r\n\r\nOk";
    TScriptedPeer peer({Answer(ok), Answer(ok), Answer(ok), Answer(ok)});
    auto http = ClientFor(peer);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(peer.Port()) + "\r\n";
    const std::string rest =
        "Accept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; QVBrelmox)\r\n\r\n";

    EXPECT_EQ(http->GetToString("/Ok"), "Ok");
    EXPECT_EQ(http->GetToString("cgi-bin/x.dll?a=1&b=/c"), "Ok");
    http->ProtocolVersion = pv1_0;
    EXPECT_EQ(http->GetToString("/Ok"), "Ok");
    auto fresh = ClientFor(peer);
    EXPECT_EQ(fresh->GetToString("cgi-bin/x.dll?a=1"), "Ok");
    peer.Join();
    EXPECT_EQ(peer.Received(0), "GET /Ok HTTP/1.1\r\n" + host + rest);
    EXPECT_EQ(peer.Received(1), "GET /cgi-bin/x.dll?a=1&b=/c HTTP/1.1\r\n" + host + rest);
    EXPECT_EQ(peer.Received(2), "GET /Ok HTTP/1.0\r\nConnection: keep-alive\r\n" + host + rest);
    EXPECT_EQ(peer.Received(3), "GET cgi-bin/x.dll?a=1 HTTP/1.1\r\n" + host + rest);
}

TEST(IdHTTPWire, DefaultPortLeavesTheHostBare) {
    TIdHTTP http;
    http.SetHost("update.example");
    TMemoryIOHandler transport({Ok + "Content-Length: 0\r\n\r\n"});
    transport.Open();
    http.SetIOHandler(&transport);
    http.GetToString("/Ok");
    http.SetIOHandler(nullptr);
    EXPECT_EQ(transport.sent,
              "GET /Ok HTTP/1.1\r\nHost: update.example\r\nAccept: text/html, */*\r\n"
              "User-Agent: Mozilla/3.0 (compatible; QVBrelmox)\r\n\r\n");
}

TEST(IdHTTPWire, ErrorBodyTimeOutAndTheClientStaysUsable) {
    TScriptedPeer peer({{peer::WaitFor("\r\n\r\n"), peer::Send("HTTP/1.1 500 Oops\r\n\r\nsome"),
                         peer::Pause(4000), peer::Close()},
                        Answer(Ok + "Content-Length: 4\r\n\r\nnext")});
    auto http = ClientFor(peer);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(http->GetToString("/fail"), EIdReadTimeout);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1500));
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_EQ(http->GetToString("/ok"), "next");
}

TEST(IdHTTPWire, ADeadlineEndsAPeerThatTricklesWithinTheReadTimeOut) {
    // Each byte comes well within the read time-out; only the deadline ends the exchange.
    TPeerScript trickle = {peer::WaitFor("\r\n\r\n"),
                           peer::Send(Ok + "Content-Length: 100000\r\n\r\n")};
    for (int i = 0; i < 15; ++i) {
        trickle.push_back(peer::Send("x"));
        trickle.push_back(peer::Pause(100));
    }
    TScriptedPeer peer({trickle, Answer(Ok + "Content-Length: 4\r\n\r\nnext")});
    auto http = ClientFor(peer);
    http->ReadTimeout = 2000;
    const auto start = std::chrono::steady_clock::now();
    http->Deadline = start + std::chrono::milliseconds(600);
    EXPECT_THROW(http->GetToString("/slow"), EIdReadTimeout);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(550));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    EXPECT_FALSE(http->Connected());
    // Past the deadline not even a connect is tried; without one the client works as before.
    EXPECT_THROW(http->GetToString("/next"), EIdReadTimeout);
    EXPECT_EQ(peer.Accepted(), 1u);
    http->Deadline.reset();
    http->ReadTimeout = 5000; // the peer answers once its first script has played
    EXPECT_EQ(http->GetToString("/next"), "next");
}

TEST(IdHTTPWire, RefusedAndUnresolvable) {
    int port = 0;
    testsock::Socket s = testsock::ListenLoopback(port);
    testsock::Close(s);
    TIdHTTP http;
    try {
        http.GetToString("http://127.0.0.1:" + std::to_string(port) + "/");
        ADD_FAILURE();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), IdError::ConnRefused);
    }
    EXPECT_EQ(http.ResponseCode(), -1);
    try {
        http.GetToString("http://no.such..host/");
        ADD_FAILURE();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), IdError::HostNotFound);
    }
}

TEST(IdHTTP, ABodyThatCannotBeHeldFailsAsAnException) {
    // A stream that runs out of memory after a few bytes, as a huge body would.
    struct TFullStream : TMemoryStream {
        void Write(const void* buffer, std::size_t n) override {
            if (Size() + static_cast<std::int64_t>(n) > 4)
                throw std::bad_alloc();
            TMemoryStream::Write(buffer, n);
        }
    };
    TMemoryHTTP m(
        {Ok + "Content-Length: 10\r\n\r\n0123456789", Ok + "Content-Length: 2\r\n\r\nok"});
    TFullStream full;
    EXPECT_THROW(m.http.GetToStream("/big", full), std::bad_alloc);
    EXPECT_EQ(m.http.WorkInfo(wkRead).Level, 0);
    TMemoryStream fine;
    m.http.GetToStream("/small", fine);
    EXPECT_EQ(fine.Data(), "ok");
}

TEST(IdHTTP, ABodyPastFourGibibytesIsCountedRight) {
    // Made as it is read: the head, then zero bytes past the 32-bit range, then the close.
    class TGeneratedIOHandler : public TIdIOHandler {
    public:
        TGeneratedIOHandler(std::string head, std::int64_t body)
            : head_(std::move(head)), left_(body) {}
        bool WaitReadable(int) override { return true; }
        int Receive(void* buffer, int count) override {
            if (!head_.empty()) {
                std::size_t n = std::min(head_.size(), static_cast<std::size_t>(count));
                std::memcpy(buffer, head_.data(), n);
                head_.erase(0, n);
                return static_cast<int>(n);
            }
            int n = static_cast<int>(std::min<std::int64_t>(left_, count));
            std::memset(buffer, 0, static_cast<std::size_t>(n));
            left_ -= n;
            return n;
        }
        int Send(const void*, int count) override { return count; }

    private:
        std::string head_;
        std::int64_t left_;
    };
    // Counts what arrives and keeps nothing.
    struct TCountingStream : TStream {
        std::int64_t Size() const override { return size; }
        void SetSize(std::int64_t s) override { size = s; }
        std::int64_t Position() const override { return size; }
        void SetPosition(std::int64_t) override {}
        std::size_t Read(void*, std::size_t) override { return 0; }
        void Write(const void*, std::size_t n) override { size += static_cast<std::int64_t>(n); }
        std::int64_t size = 0;
    };
    const std::int64_t length = (std::int64_t(1) << 32) + 10;
    TGeneratedIOHandler transport(Ok + "Content-Length: " + std::to_string(length) + "\r\n\r\n",
                                  length);
    transport.Open();
    TIdHTTP http;
    http.SetIOHandler(&transport);
    std::int64_t begun = 0, last = 0;
    http.OnWorkBegin = [&](TIdComponent*, TWorkMode, std::int64_t max) { begun = max; };
    http.OnWork = [&](TIdComponent*, TWorkMode, std::int64_t count) { last = count; };
    TCountingStream counted;
    http.GetToStream("/big", counted);
    http.SetIOHandler(nullptr);
    EXPECT_EQ(counted.size, length);
    EXPECT_EQ(begun, length);
    EXPECT_EQ(last, length);
}

// ---- through a proxy (the scripted peer plays it) ----

namespace {

std::unique_ptr<TIdHTTP> ProxiedClient(const TScriptedPeer& proxy) {
    auto http = std::make_unique<TIdHTTP>();
    http->ProxyParams.SetProxyServer("127.0.0.1");
    http->ProxyParams.SetProxyPort(proxy.Port());
    return http;
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at)
        ++n;
    return n;
}

const std::string Rest =
    "Accept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; QVBrelmox)\r\n";
const std::string Challenge =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 4\r\n\r\nnope";

} // namespace

TEST(IdHTTPProxy, AbsoluteUriOneConnectionAndBasicSignOn) {
    const std::string ok = Ok + "Content-Length: 2\r\n\r\nOk";
    const std::string head = "GET http://atualiza.example/Ok?a HTTP/1.1\r\n"
                             "Host: atualiza.example\r\n" +
                             Rest;
    const std::string first = head + "Cache-Control: no-cache\r\n\r\n";
    const std::string signed_ =
        head + "Proxy-Authorization: Basic dTpw\r\nCache-Control: no-cache\r\n\r\n";
    // Another port is another server: the proxy's connection still serves it.
    const std::string other = "GET http://atualiza.example:8080/Ok?b HTTP/1.1\r\n"
                              "Host: atualiza.example:8080\r\n" +
                              Rest + "Proxy-Authorization: Basic dTpw\r\n\r\n";
    TScriptedPeer proxy({{peer::WaitBytes(first.size()), peer::Send(Challenge),
                          peer::WaitBytes(first.size() + signed_.size()), peer::Send(ok),
                          peer::WaitBytes(first.size() + signed_.size() + other.size()),
                          peer::Send(ok), peer::Close()}});
    auto http = ProxiedClient(proxy);
    http->ProxyParams.ProxyUsername = "u";
    http->ProxyParams.ProxyPassword = "p";
    EXPECT_EQ(http->GetToString("http://atualiza.example/Ok?a"), "Ok");
    EXPECT_TRUE(http->UsingProxy());
    http->ProxyNoCache = false;
    EXPECT_EQ(http->GetToString("http://atualiza.example:8080/Ok?b"), "Ok");
    proxy.Join();
    EXPECT_EQ(proxy.Accepted(), 1u);
    EXPECT_EQ(proxy.Received(0), first + signed_ + other);
}

TEST(IdHTTPProxy, HostileProxiesEndWithinTheirBounds) {
    // Endless challenges: the first request and AuthRetries more, each answered on the same
    // connection, then the 407 is final.
    TPeerScript endless;
    for (int i = 0; i < 10; ++i) {
        endless.push_back(peer::WaitBytes(static_cast<std::size_t>(i + 1) * 40));
        endless.push_back(peer::Send(Challenge));
    }
    {
        TScriptedPeer proxy({endless});
        auto http = ProxiedClient(proxy);
        http->ProxyParams.ProxyUsername = "u";
        try {
            http->GetToString("http://atualiza.example/Ok");
            ADD_FAILURE();
        } catch (const EIdHTTPProtocolException& e) {
            EXPECT_EQ(e.ErrorCode(), 407);
        }
        http->Disconnect();
        proxy.Join();
        EXPECT_EQ(Occurrences(proxy.Received(0), "GET "), 1u + http->AuthRetries);
    }
    // A challenge of a megabyte, on a plain request and on a tunnel: refused as a head too
    // large, its bytes never held.
    const std::string huge =
        "HTTP/1.1 407 P\r\nProxy-Authenticate: NTLM " + std::string(1 << 20, 'A') + "\r\n\r\n";
    for (const char* url : {"http://atualiza.example/Ok", "https://atualiza.example/Ok"}) {
        TScriptedPeer proxy({Answer(huge)});
        auto http = ProxiedClient(proxy);
        http->Tls.emplace();
        EXPECT_THROW(http->GetToString(url), EIdReadLnMaxLineLengthExceeded) << url;
        EXPECT_FALSE(http->Connected());
    }
    // A tunnel that answers 200 and then sends its own bytes: nothing of it passes for TLS.
    {
        TScriptedPeer proxy({Answer("HTTP/1.1 200 Connection established\r\n\r\ngarbage")});
        auto http = ProxiedClient(proxy);
        http->Tls.emplace();
        EXPECT_THROW(http->GetToString("https://atualiza.example/Ok"), EIdException);
        proxy.Join();
        EXPECT_EQ(proxy.Received(0), "CONNECT atualiza.example:443 HTTP/1.1\r\n"
                                     "Host: atualiza.example:443\r\n\r\n");
    }
    // A tunnel whose server then sends what is not TLS fails as a TLS error.
    {
        TScriptedPeer proxy(
            {{peer::WaitFor("\r\n\r\n"), peer::Send("HTTP/1.1 200 Connection established\r\n\r\n"),
              peer::WaitBytes(100), peer::Send("HTTP/1.1 200 OK\r\n\r\n"), peer::Close()}});
        auto http = ProxiedClient(proxy);
        http->Tls.emplace();
        EXPECT_THROW(http->GetToString("https://atualiza.example:8443/Ok"), EIdTlsError);
        proxy.Join();
        EXPECT_EQ(proxy.Received(0).find("CONNECT atualiza.example:8443 HTTP/1.1\r\n"
                                         "Host: atualiza.example:8443\r\n\r\n"),
                  0u);
    }
    // A head trickled within the read time-out ends at the deadline.
    {
        TPeerScript trickle = {peer::WaitFor("\r\n\r\n")};
        for (int i = 0; i < 30; ++i) {
            trickle.push_back(peer::Send("X-Slow: x\r\n"));
            trickle.push_back(peer::Pause(100));
        }
        TScriptedPeer proxy({trickle});
        auto http = ProxiedClient(proxy);
        http->Tls.emplace();
        http->ReadTimeout = 2000;
        const auto start = std::chrono::steady_clock::now();
        http->Deadline = start + std::chrono::milliseconds(600);
        EXPECT_THROW(http->GetToString("https://atualiza.example/Ok"), EIdReadTimeout);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    }
}

TEST(IdHTTPProxy, AListIsTriedInOrderAndAskedOncePerServer) {
    int port = 0;
    testsock::Socket closed = testsock::ListenLoopback(port);
    testsock::Close(closed);
    const std::string ok = Ok + "Content-Length: 2\r\n\r\nOk";
    TScriptedPeer proxy({{peer::WaitFor("\r\n\r\n"), peer::Send(ok), peer::WaitFor("/b HTTP"),
                          peer::WaitFor("\r\n\r\n"), peer::Send(ok), peer::Close()}});
    TScriptedPeer origin({Answer(ok)});
    TIdHTTP http;
    int asked = 0;
    std::string server;
    TIdProxyList list = {{"127.0.0.1", port, "", ""}, {"127.0.0.1", proxy.Port(), "", ""}};
    http.FindProxies = [&](const std::string& url, std::chrono::steady_clock::time_point end) {
        ++asked;
        server = url;
        EXPECT_LE(end, std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(IdProxyDiscoveryTimeout));
        return list;
    };
    // The refused proxy gives way to the next; that one then serves the server's requests.
    EXPECT_EQ(http.GetToString("http://atualiza.example/a"), "Ok");
    EXPECT_EQ(http.GetToString("http://atualiza.example/b"), "Ok");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(server, "http://atualiza.example:80/");
    proxy.Join();
    EXPECT_EQ(Occurrences(proxy.Received(0), "GET http://atualiza.example/"), 2u);
    // Another server is asked about again; a list ending in DIRECT reaches it straight.
    list = {{"127.0.0.1", port, "", ""}, TIdProxyServer()};
    EXPECT_EQ(http.GetToString("http://127.0.0.1:" + std::to_string(origin.Port()) + "/c"), "Ok");
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(http.UsingProxy());
    origin.Join();
    EXPECT_EQ(origin.Received(0).find("GET /c HTTP/1.1\r\n"), 0u);
    // A list of proxies none of which answers fails as an unreachable server does.
    list = {{"127.0.0.1", port, "", ""}};
    EXPECT_THROW(http.GetToString("http://other.example/d"), EIdSocketError);
}
