#include "http/IdStack.h"

#include "http/IdComponent.h"
#include "http/IdTCPConnection.h"
#include "support/ScriptedPeer.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

namespace {

class IdStack : public ::testing::Test {
protected:
    TIdComponent keepsStackAlive;
    TIdStack& stack = TIdStack::Shared();
};

// A port on which nothing listens: one that was just listened on and closed again.
int ClosedPort() {
    int port = 0;
    testsock::Socket s = testsock::ListenLoopback(port);
    testsock::Close(s);
    return port;
}

} // namespace

TEST_F(IdStack, IPv4LiteralsInAllFourForms) {
    const struct {
        const char* text;
        bool ip;
        TIdIPv4Bytes bytes;
    } cases[] = {
        {"1.2.3.4", true, {1, 2, 3, 4}},
        {"1.2.3", true, {1, 2, 0, 3}},
        {"1.2", true, {1, 0, 0, 2}},
        {"16909060", true, {1, 2, 3, 4}},
        {"4294967295", true, {255, 255, 255, 255}},
        {"10.1", true, {10, 0, 0, 1}},
        {"1.2.65535", true, {1, 2, 255, 255}},
        {"1.16777215", true, {1, 255, 255, 255}},
        {"0.0.0.0", true, {0, 0, 0, 0}},
        {"1.2.3.256", false, {}},
        {"1.2.3.4.5", false, {}},
        {"4294967296", false, {}},
        {"99999999999999999999", false, {}},
        {"1.2.65536", false, {}},
        {"1.16777216", false, {}},
        {"256.1", false, {}},
        {"host", false, {}},
        {"", false, {}},
        {"1.-2.3.4", false, {}},
        {"1.2.3.4 ", false, {}},
        {"0x7f.1", false, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TIdStack::IsIP(c.text), c.ip) << c.text;
        if (c.ip) {
            EXPECT_EQ(TIdStack::TextToAddress(c.text), c.bytes) << c.text;
        }
    }
    try {
        TIdStack::TextToAddress("host");
        ADD_FAILURE();
    } catch (const EIdInvalidIPAddress& e) {
        EXPECT_EQ(e.Message(), "host is not a valid IP address.");
    }
    EXPECT_EQ(TIdStack::AddressToText({192, 168, 0, 7}), "192.168.0.7");
}

TEST_F(IdStack, ErrorTexts) {
    EXPECT_EQ(TIdStack::ErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(TIdStack::ErrorText(10035), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(TIdStack::ErrorText(11001), "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(TIdStack::ErrorText(10066), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(TIdStack::ErrorText(12345), "Socket Error # 12345\r\n");
    try {
        stack.RaiseSocketError(10054);
        ADD_FAILURE();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10054);
        EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
    }
    EXPECT_FALSE(stack.CheckSocketResult(0));
    EXPECT_FALSE(stack.CheckSocketResult(17));
}

TEST_F(IdStack, ResolvesLocalhostLiteralsAndFailsForUnknownNames) {
    EXPECT_EQ(stack.ResolveHost("localhost"), "127.0.0.1");
    EXPECT_EQ(stack.ResolveHost("LocalHost"), "127.0.0.1");
    EXPECT_EQ(stack.ResolveHost("10.1"), "10.1");
    // An empty label makes the name malformed, so it fails without asking any name server.
    try {
        stack.ResolveHost("no.such..host");
        ADD_FAILURE();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), IdError::HostNotFound);
        EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
        EXPECT_EQ(stack.LastError(), IdError::HostNotFound);
    }
}

TEST_F(IdStack, SelectTakesAtMost64Sockets) {
    TIdSocketList many(IdSelectSetSize + 1, Id_INVALID_SOCKET);
    try {
        stack.Select(&many, nullptr, nullptr, 0);
        ADD_FAILURE();
    } catch (const EIdStackSetSizeExceeded& e) {
        EXPECT_EQ(e.Message(), "Set Size Exceeded.");
    }
}

TEST_F(IdStack, SocketHandleBindsConnectsAndWaits) {
    TScriptedPeer peer({{peer::Pause(100), peer::Send("x")}});
    TIdSocketHandle h;
    EXPECT_THROW(h.WaitReadable(0), EIdConnClosedGracefully);
    h.AllocateSocket();
    h.Bind();
    EXPECT_NE(h.Port, 0);
    h.SetPeer("127.0.0.1", peer.Port());
    ASSERT_EQ(h.ConnectPeer(), 0);
    EXPECT_EQ(h.IP, "127.0.0.1");
    EXPECT_EQ(h.PeerPort(), peer.Port());
    EXPECT_FALSE(h.WaitReadable(0));
    EXPECT_TRUE(h.WaitReadable(5000));
    char c = 0;
    EXPECT_EQ(h.Receive(&c, 1), 1);
    EXPECT_EQ(c, 'x');
    h.CloseSocket();
    EXPECT_FALSE(h.Allocated());
    EXPECT_THROW(h.WaitReadable(0), EIdConnClosedGracefully);
    h.Reset();
    EXPECT_EQ(h.IP, "");
    EXPECT_EQ(h.PeerIP(), "");
}

TEST_F(IdStack, BindFailuresHaveTheirOwnExceptions) {
    int used = 0;
    testsock::Socket listener = testsock::ListenLoopback(used);
    TIdSocketHandle h;
    h.AllocateSocket();
    h.IP = "127.0.0.1";
    h.Port = used;
    try {
        h.Bind();
        ADD_FAILURE();
    } catch (const EIdCouldNotBindSocket& e) {
        EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
    }
    h.Port = 0;
    h.ClientPortMin = used;
    h.ClientPortMax = used;
    try {
        h.Bind();
        ADD_FAILURE();
    } catch (const EIdCanNotBindPortInRange& e) {
        std::string p = std::to_string(used);
        EXPECT_EQ(e.Message(), "Can not bind in port range (" + p + " - " + p + ")");
    }
    h.ClientPortMin = 5000;
    h.ClientPortMax = 4000;
    try {
        h.Bind();
        ADD_FAILURE();
    } catch (const EIdInvalidPortRange& e) {
        EXPECT_EQ(e.Message(), "Invalid Port Range (5000 - 4000)");
    }
    testsock::Close(listener);

    // A range with a free port binds the highest free one.
    int free = ClosedPort();
    TIdSocketHandle r;
    r.AllocateSocket();
    r.IP = "127.0.0.1";
    r.ClientPortMin = free;
    r.ClientPortMax = free;
    r.Bind();
    EXPECT_EQ(r.Port, free);
}

TEST_F(IdStack, RefusedConnectGives10061) {
    TIdSocketHandle h;
    h.AllocateSocket();
    h.Bind();
    h.SetPeer("127.0.0.1", ClosedPort());
    try {
        stack.CheckSocketResult(h.ConnectPeer());
        ADD_FAILURE();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), IdError::ConnRefused);
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
}

TEST_F(IdStack, LookUpsEndInTimeAndOneAddressServesEveryConnection) {
    // A resolver that never answers (until the test lets it go), and one that counts.
    struct TGate {
        std::mutex lock;
        std::condition_variable opened;
        bool open = false;
        int calls = 0;
    };
    auto gate = std::make_shared<TGate>();
    stack.LookUpFunction = [gate](const std::string& name, std::vector<std::string>& addresses,
                                  int&) {
        std::unique_lock<std::mutex> guard(gate->lock);
        ++gate->calls;
        if (name == "silent.example")
            gate->opened.wait(guard, [&] { return gate->open; });
        addresses.push_back("127.0.0.1");
        return true;
    };
    struct TRelease {
        std::shared_ptr<TGate> gate;
        TIdStack& stack;
        ~TRelease() {
            std::lock_guard<std::mutex> guard(gate->lock);
            gate->open = true;
            gate->opened.notify_all();
            stack.LookUpFunction = nullptr;
        }
    } release{gate, stack};

    const auto start = std::chrono::steady_clock::now();
    try {
        stack.ResolveHost("silent.example", 300);
        ADD_FAILURE();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), IdError::TimedOut);
    }
    // A connect's time-out covers its lookup.
    TIdTCPClient silent;
    silent.Host = "silent.example";
    silent.Port = 1;
    EXPECT_THROW(silent.Connect(300), EIdSocketError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // Looked up once for every connection, and again only after a connect to it failed.
    TScriptedPeer peer({{}, {}, {}});
    TIdTCPClient client;
    client.Host = "update.example";
    client.Port = peer.Port();
    const int before = gate->calls;
    for (int i = 0; i < 2; ++i) {
        client.Connect(2000);
        client.Disconnect();
    }
    EXPECT_EQ(gate->calls, before + 1);
    client.Port = ClosedPort();
    EXPECT_THROW(client.Connect(2000), EIdSocketError);
    client.Port = peer.Port();
    client.Connect(2000);
    client.Disconnect();
    EXPECT_EQ(gate->calls, before + 2);
}
