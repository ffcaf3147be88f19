#include "update/Updater.h"

#include "update/PartialDownload.h"
#include "update/UpdateServer.h"

#include "SignedRelease.h"
#include "TestSupport.h"
#include "platform/Files.h"
#include "support/FileHelpers.h"
#include "support/LocalAddress.h"
#include "support/Md5.h"
#include "support/MemoryIOHandler.h"
#include "support/MiniServer.h"
#include "support/ScriptedPeer.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>

namespace {

class TTestView : public ISplashView {
public:
    void SetStatus(const std::string& text) override { statuses.push_back(text); }
    void SetVersionLabel(const std::string& text) override { labels.push_back(text); }
    void InfoBox(const std::string& text) override { boxes.push_back(text); }
    void ProcessMessages() override { ++turns; }

    std::vector<std::string> statuses, labels, boxes;
    int turns = 0;
};

const std::string NotFound = "Arquivo n\xC6o encontrado.";

std::string Digest(const std::string& body) {
    return "OK" + MD5Text(body) + "OK";
}

// The launcher's client, view and values against a mini server, in a temporary installation.
class Updater : public ::testing::Test {
protected:
    Updater() : updater(view, http, values, dir.Path()) {
        http.SetHost("127.0.0.1");
        http.SetPort(server.Port());
        updater.AttachProgressHandlers();
    }

    // Publishes a file in the download area with its digest. The client turns backslashes in a
    // URL into slashes, so that is how the server sees a name with a directory.
    void Publish(std::string name, const std::string& body) {
        for (char& c : name)
            if (c == '\\')
                c = '/';
        server.SetBody("/files/Contrib/" + name, body);
        server.SetBody("/md5.php?files/Contrib/" + name, Digest(body));
    }

    std::string Ini(const std::string& section, const std::string& key) {
        return TProfileFile(dir / "QVBrelmox.ini").ReadString(section, key, "<none>");
    }

    TTempDir dir;
    TMiniServer server;
    TTestView view;
    TIdHTTP http;
    TSplashValues values;
    TUpdater updater;
};

using Clock = std::chrono::steady_clock;

} // namespace

TEST_F(Updater, FetchTextRetriesOnlyAfterACloseWithoutAnswer) {
    server.SetBody("/Ok", "Ok");
    server.CloseWithoutAnswer("/Ok", 2);
    auto start = Clock::now();
    EXPECT_EQ(updater.FetchText("/Ok"), "Ok");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(600)); // three pauses
    EXPECT_EQ(server.Log().size(), 3u);
    EXPECT_GT(view.turns, 0);

    server.CloseWithoutAnswer("/gone", 10);
    EXPECT_EQ(updater.FetchText("/gone"), "");
    EXPECT_EQ(server.Log().size(), 3u + 4u); // four attempts in all

    EXPECT_EQ(updater.FetchText("/missing"), "");
    EXPECT_EQ(http.ResponseCode(), 404);
    server.SetBody("/empty", "");
    EXPECT_EQ(updater.FetchText("/empty"), "");
    EXPECT_EQ(http.ResponseCode(), 200);
}

TEST_F(Updater, FetchTextDoesNotRetryATimeOut) {
    server.NeverAnswer("/slow");
    http.ReadTimeout = 300;
    auto start = Clock::now();
    EXPECT_EQ(updater.FetchText("/slow"), "");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(server.Log().size(), 1u);
}

TEST_F(Updater, DelayWaitsWithMessagesProcessed) {
    auto start = Clock::now();
    updater.Delay(0.2);
    // The pause counts system ticks; this clock may see a millisecond less of the same span.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(195));
    EXPECT_GT(view.turns, 0);
    int turns = view.turns;
    updater.Delay(0);
    updater.Delay(-1);
    EXPECT_EQ(view.turns, turns);
}

TEST_F(Updater, DelayIsSafeAcrossTheTickCounterWrap) {
    // A counter 100 ms before its wrap, moving 10 ms per reading: 20 readings, no range error,
    // no endless wait.
    std::uint32_t now = 0xFFFFFFFFu - 100;
    int readings = 0;
    updater.TickSource = [&] {
        ++readings;
        return now += 10;
    };
    updater.Delay(0.2);
    EXPECT_EQ(readings, 21);
}

TEST_F(Updater, AProgressHandlerThatFailsEndsTheDownloadCleanly) {
    struct TFailingView : TTestView {
        void SetVersionLabel(const std::string&) override { throw Exception("display broke"); }
    } failing;
    TUpdater u(failing, http, values, dir.Path());
    u.AttachProgressHandlers();
    Publish("f.dat", "body");
    EXPECT_EQ(u.DownloadVerified("f.dat", 5, true), "");
    EXPECT_EQ(http.Tag, 0);
    EXPECT_EQ(failing.boxes,
              (std::vector<std::string>{"N\xE3o consegui buscar f.dat no servidor..."}));
}

TEST_F(Updater, DownloadVerifiedChecksTheDigestReply) {
    const std::string body = "conte\xFA"
                             "do";
    const std::string md5 = MD5Text(body);
    std::string lower = md5;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const struct {
        std::string reply;
        bool ok;
    } cases[] = {
        {"OK" + md5 + "OK", true},
        {"OK" + lower + "OK", true},
        {"ok" + md5 + "OK", false},
        {"OK" + md5 + "ok", false},
        {"OK" + md5 + "OK\r\n", false},
        {"OKOK", false},
        {"O", false},
        {"", false},
        {"OK" + md5.substr(1) + "OK", false},
    };
    for (const auto& c : cases) {
        server.SetBody("/files/Contrib/f.dat", body);
        server.SetBody("/md5.php?files/Contrib/f.dat", c.reply);
        EXPECT_EQ(updater.DownloadVerified("f.dat", 5, false), c.ok ? body : "") << c.reply;
        EXPECT_EQ(http.Tag, 0);
    }
    EXPECT_EQ(http.ReadTimeout, 5000);
    EXPECT_EQ(view.statuses.back(), "Buscando f.dat...");
    EXPECT_TRUE(view.boxes.empty());
}

TEST_F(Updater, DownloadVerifiedFailuresAndTheirMessage) {
    std::size_t before = 0;
    auto requests = [&] { return server.Log().size() - before; };

    server.SetBody("/files/Contrib/nf.txt", NotFound);
    EXPECT_EQ(updater.DownloadVerified("nf.txt", 15, true), "");
    EXPECT_EQ(requests(), 1u); // no digest asked for
    EXPECT_EQ(view.boxes.back(), "N\xE3o consegui buscar nf.txt no servidor...");

    before = server.Log().size();
    Publish("empty.txt", "");
    EXPECT_EQ(updater.DownloadVerified("empty.txt", 15, false), "");
    EXPECT_EQ(requests(), 1u);

    before = server.Log().size();
    EXPECT_EQ(updater.DownloadVerified("missing.txt", 15, false), ""); // 404
    EXPECT_EQ(requests(), 1u);

    // The same words with the a-tilde of code page 1252 are an ordinary file.
    const std::string lookalike = "Arquivo n\xE3o encontrado.";
    Publish("look.txt", lookalike);
    EXPECT_EQ(updater.DownloadVerified("look.txt", 15, false), lookalike);

    // A name with a space goes on the wire as it stands.
    Publish("with space.txt", "spaced");
    EXPECT_EQ(updater.DownloadVerified("with space.txt", 15, false), "spaced");
    EXPECT_EQ(server.Log().back(), "GET /md5.php?files/Contrib/with space.txt HTTP/1.1");
    EXPECT_EQ(view.boxes.size(), 1u);
}

TEST_F(Updater, ReportUsageProbesThenReports) {
    for (const char* answer : {"OK", "ok", "oK"}) {
        server.SetBody("/Ok", answer);
        EXPECT_TRUE(updater.ReportUsage()) << answer;
    }
    server.SetBody("/Ok", "Ok\r\n");
    std::size_t before = server.Log().size();
    EXPECT_FALSE(updater.ReportUsage());
    EXPECT_EQ(server.Log().size(), before + 1); // no report after a failed probe

    server.SetBody("/Ok", "Ok");
    values.Versao = "3.1";
    values.Unidade = "12";
    values.Usuario = "Jo\xE3o Silva";
    values.Telefone = "11 5555";
    values.Email = "a&b=c";
    values.VersaoExe = "1.0.0.7";
    EXPECT_TRUE(updater.ReportUsage());
    EXPECT_EQ(server.Log().back(),
              "GET /cgi-bin/QVBrelmoxDLL.dll?Versao=3.1&IP=" + LocalAddressText() +
                  "&Unid=12&User=Jo%E3o%20Silva&Fone=11%205555&Email=a&b=c"
                  "&Ex=Contrib&VersaoExe=1.0.0.7 HTTP/1.1");
}

TEST_F(Updater, ReportReplyCarriesAMessageFile) {
    server.SetBody("/Ok", "Ok");
    ASSERT_TRUE(platform::MakeDirectory(dir / "Msg"));
    const std::string target = "/cgi-bin/QVBrelmoxDLL.dll?Versao=&IP=" + LocalAddressText() +
                               "&Unid=&User=&Fone=&Email=&Ex=Contrib&VersaoExe=";
    auto reply = [&](const std::string& body, int status = 200) {
        server.SetBody(target, body, status);
        EXPECT_TRUE(updater.ReportUsage());
    };
    std::string name30 = "aviso.txt" + std::string(21, ' ');
    reply(name30); // exactly 30 characters: nothing
    EXPECT_FALSE(platform::FileExists(dir / "Msg\\aviso.txt"));
    reply(name30 + "X"); // 31: a one-character file
    EXPECT_EQ(ReadFileOrDie(dir / "Msg\\aviso.txt"), "X");
    reply("   " + std::string(27, 'n') + "content\r\nline"); // a full 30-character name
    EXPECT_EQ(ReadFileOrDie(dir / ("Msg\\" + std::string(27, 'n'))), "content\r\nline");
    reply(std::string(30, ' ') + "blank name");
    reply("..\\escaped.txt" + std::string(16, ' ') + "evil");
    reply("C:\\escaped.txt" + std::string(16, ' ') + "evil");
    EXPECT_FALSE(platform::FileExists(dir / "escaped.txt"));
    reply("other.txt" + std::string(21, ' ') + "not 200", 201);
    EXPECT_FALSE(platform::FileExists(dir / "Msg\\other.txt"));
    EXPECT_EQ(dir.EntryCount(), 1); // only Msg
}

TEST(UpdaterNames, SafeNamesAndExtensions) {
    for (const char* name : {"QVBrelmoxApp.exe", "sub\\file.txt", "a..b", "Local\\x", " lead"})
        EXPECT_TRUE(IsSafeRelativeName(name)) << name;
    for (const char* name : {"", "..\\x", "a\\..\\..\\x", "\\abs", "/abs", "C:\\x", "C:x",
                             "\\\\server\\share\\x", "a/../../x", ".. \\x", "a\\..", "..."})
        EXPECT_FALSE(IsSafeRelativeName(name)) << name;
    EXPECT_EQ(FileExtension("QVBrelmox.new"), ".new");
    EXPECT_EQ(FileExtension("QVBrelmox.NEW"), ".NEW");
    EXPECT_EQ(FileExtension("dir.d\\file"), "");
    EXPECT_EQ(FileExtension("noext"), "");
    EXPECT_EQ(FileExtension("a.tar.gz"), ".gz");
}

TEST(UpdaterProgress, PercentagesFromTheWorkEvents) {
    // A 2000-byte file in four pieces of 500, then its digest.
    const std::string body(2000, 'p');
    TMemoryIOHandler transport({"HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n",
                                body.substr(0, 500), body.substr(500, 500), body.substr(1000, 500),
                                body.substr(1500),
                                "HTTP/1.1 200 OK\r\nContent-Length: 36\r\n\r\n" + Digest(body)});
    transport.Open();
    TTestView view;
    TIdHTTP http;
    TSplashValues values;
    http.SetIOHandler(&transport);
    TUpdater updater(view, http, values, "C:\\App\\");
    updater.AttachProgressHandlers();
    EXPECT_EQ(updater.DownloadVerified("f.bin", 15, false), body);
    http.SetIOHandler(nullptr);
    EXPECT_EQ(view.labels,
              (std::vector<std::string>{"Download: 0%", "Download: 25%", "Download: 50%",
                                        "Download: 75%", "Download: 100%", "Download: 100%"}));
    EXPECT_EQ(values.DownloadTotal, 2000);

    // Unknown length: bytes instead of a percentage; with the flag down nothing at all.
    view.labels.clear();
    http.Tag = 1;
    updater.IdHTTPWorkBegin(0);
    updater.IdHTTPWork(12345);
    http.Tag = 0;
    updater.IdHTTPWork(1);
    updater.IdHTTPWorkEnd();
    EXPECT_EQ(view.labels, (std::vector<std::string>{"Download: 0%", "Download: 12345 bytes"}));
    // Counts beyond 32 bits stay right.
    http.Tag = 1;
    updater.IdHTTPWorkBegin(6000000000LL);
    updater.IdHTTPWork(3000000000LL);
    EXPECT_EQ(view.labels.back(), "Download: 50%");
}

namespace {

const std::string GoodVersionFile =
    "Start.Ok=1\r\n:VersaoAtual=3.1\r\n:DataVersaoAtual=02/05/2008\r\n"
    ":TabMedic.txt=9\r\nQVBrelmoxApp.exe=3.1\r\nQVBrelmox.new=7\r\n"
    "data\\tabela.dat=2\r\nEnd.Ok=1\r\n";

} // namespace

TEST_F(Updater, CheckForUpdatesBringsTheInstallationUpToDate) {
    ASSERT_TRUE(SaveTextToFile(dir / "QVBrelmox.ini", "[Unidade]\r\nUnidade=12\r\nUsuario=Ana\r\n"
                                                      "[Versao]\r\nVersaoAtual=3.0\r\n"));
    ASSERT_TRUE(platform::MakeDirectory(dir / "data"));
    server.SetBody("/Ok", "Ok");
    Publish("QVBrelmox2.ini", "[Shared]\r\nx=1\r\n");
    Publish("Versao.txt", GoodVersionFile);
    Publish("QVBrelmoxApp.exe", "app 3.1");
    Publish("QVBrelmox.new", "launcher 7");
    Publish("data\\tabela.dat", "table 2");

    updater.CheckForUpdates();

    std::vector<std::string> log = server.Log();
    ASSERT_EQ(log.size(), 12u);
    EXPECT_EQ(log[0], "GET /Ok HTTP/1.1");
    EXPECT_EQ(log[1].rfind("GET /cgi-bin/QVBrelmoxDLL.dll?Versao=3.0&", 0), 0u) << log[1];
    const char* expected[] = {
        "/files/Contrib/QVBrelmox2.ini",   "/md5.php?files/Contrib/QVBrelmox2.ini",
        "/files/Contrib/Versao.txt",       "/md5.php?files/Contrib/Versao.txt",
        "/files/Contrib/QVBrelmoxApp.exe", "/md5.php?files/Contrib/QVBrelmoxApp.exe",
        "/files/Contrib/QVBrelmox.new",    "/md5.php?files/Contrib/QVBrelmox.new",
        "/files/Contrib/data/tabela.dat",  "/md5.php?files/Contrib/data/tabela.dat"};
    for (std::size_t i = 0; i < 10; ++i)
        EXPECT_EQ(log[i + 2], std::string("GET ") + expected[i] + " HTTP/1.1");

    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox2.ini"), "[Shared]\r\nx=1\r\n");
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmoxApp.exe"), "app 3.1");
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.new"), "launcher 7");
    EXPECT_EQ(ReadFileOrDie(dir / "data\\tabela.dat"), "table 2");
    EXPECT_TRUE(platform::DirectoryExists(dir / "Local"));
    EXPECT_EQ(Ini("Versao", "VersaoAtual"), "3.1");
    EXPECT_EQ(Ini("Versao", "DataVersaoAtual"), "02/05/2008");
    EXPECT_EQ(Ini("Versao", "QVBrelmoxApp.exe"), "3.1");
    EXPECT_EQ(Ini("Versao", "QVBrelmox.new"), "7");
    EXPECT_EQ(Ini("Medicamento", "TabMedic.txt"), "9");
    EXPECT_NE(Ini("Connect", "Last"), "<none>");
    EXPECT_EQ(values.Versao, "3.1");
    EXPECT_EQ(values.Unidade, "12");
    EXPECT_EQ(values.Usuario, "Ana");
    EXPECT_EQ(view.labels.back(), "Vers\xE3o 3.1");
    EXPECT_TRUE(view.boxes.empty()) << (view.boxes.empty() ? "" : view.boxes[0]);

    // A second check finds everything current: only the probe, report and two config files.
    // QVBrelmox.new is not re-fetched although it is gone, since its version is recorded.
    ASSERT_TRUE(platform::RemoveFile(dir / "QVBrelmox.new"));
    updater.CheckForUpdates();
    EXPECT_EQ(server.Log().size(), 12u + 6u);
    // A listed file whose version is recorded but which is missing is fetched again.
    ASSERT_TRUE(platform::RemoveFile(dir / "QVBrelmoxApp.exe"));
    updater.CheckForUpdates();
    EXPECT_EQ(server.Log().size(), 18u + 8u);
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmoxApp.exe"), "app 3.1");
}

TEST_F(Updater, CheckForUpdatesFailureRows) {
    // The probe fails: nothing else is sent, nothing is written.
    updater.CheckForUpdates();
    EXPECT_EQ(server.Log().size(), 1u);
    EXPECT_FALSE(platform::FileExists(dir / "QVBrelmox.ini"));
    EXPECT_TRUE(view.labels.empty());

    // The shared configuration cannot be verified: the check stops after Connect/Last.
    server.SetBody("/Ok", "Ok");
    server.SetBody("/files/Contrib/QVBrelmox2.ini", "x");
    server.SetBody("/md5.php?files/Contrib/QVBrelmox2.ini", "OKbadOK");
    updater.CheckForUpdates();
    EXPECT_NE(Ini("Connect", "Last"), "<none>");
    EXPECT_EQ(server.Log().back(), "GET /md5.php?files/Contrib/QVBrelmox2.ini HTTP/1.1");
    // Only the download display wrote into the label; the version was not shown.
    for (const std::string& label : view.labels)
        EXPECT_EQ(label.rfind("Download: ", 0), 0u) << label;
    EXPECT_TRUE(view.boxes.empty());

    // An invalid version file: one message, nothing applied, the installed version shown.
    Publish("QVBrelmox2.ini", "cfg");
    Publish("Versao.txt", "Start.Ok=1\r\n:VersaoAtual=9\r\nQVBrelmoxApp.exe=9\r\n");
    updater.CheckForUpdates();
    EXPECT_EQ(view.boxes, (std::vector<std::string>{"Arquivo de vers\xE3o inv\xE1lido!"}));
    EXPECT_EQ(Ini("Versao", "VersaoAtual"), "<none>");
    EXPECT_EQ(server.Log().back(), "GET /md5.php?files/Contrib/Versao.txt HTTP/1.1");
    EXPECT_EQ(view.labels.back(), "Vers\xE3o " + values.Versao);

    // Listed files: one missing on the server, one that cannot be written, one whose name
    // would leave the installation, one fine; ".NEW" in capitals is fetched when missing.
    view.boxes.clear();
    // A fourth failure shows no box of its own.
    Publish("Versao.txt", "Start.Ok=1\r\nEnd.Ok=1\r\nnot-there.dat=1\r\nnodir\\x.dat=1\r\n"
                          "..\\outside.dat=1\r\nok.dat=1\r\nUP.NEW=1\r\nalso-gone.dat=1\r\n");
    Publish("nodir\\x.dat", "x");
    Publish("..\\outside.dat", "evil");
    Publish("ok.dat", "ok");
    Publish("UP.NEW", "up");
    std::size_t before = server.Log().size();
    updater.CheckForUpdates();
    std::string d = dir.Path();
    EXPECT_EQ(view.boxes,
              (std::vector<std::string>{"N\xE3o consegui buscar not-there.dat no servidor...",
                                        "N\xE3o consegui salvar " + d + "nodir\\x.dat...",
                                        "N\xE3o consegui salvar " + d + "..\\outside.dat..."}));
    for (std::size_t i = before; i < server.Log().size(); ++i)
        EXPECT_EQ(server.Log()[i].find("outside"), std::string::npos) << server.Log()[i];
    EXPECT_EQ(Ini("Versao", "nodir\\x.dat"), "<none>");
    EXPECT_EQ(Ini("Versao", "ok.dat"), "1");
    EXPECT_EQ(ReadFileOrDie(dir / "UP.NEW"), "up");
    EXPECT_EQ(Ini("Versao", "UP.NEW"), "1");
    EXPECT_EQ(server.Log().back(), "GET /files/Contrib/also-gone.dat HTTP/1.1");
}

TEST_F(Updater, ASharedConfigurationThatCannotBeWrittenIsReportedAndTheCheckGoesOn) {
    ASSERT_TRUE(platform::MakeDirectory(dir / "QVBrelmox2.ini"));
    server.SetBody("/Ok", "Ok");
    Publish("QVBrelmox2.ini", "cfg");
    Publish("Versao.txt", "Start.Ok=1\r\n:VersaoAtual=5\r\nEnd.Ok=1\r\n");
    updater.CheckForUpdates();
    EXPECT_EQ(view.boxes, (std::vector<std::string>{
                              "N\xE3o conseguir salvar o Arquivo de Configura\xE7\xE3o."}));
    EXPECT_EQ(Ini("Versao", "VersaoAtual"), "5");
}

TEST_F(Updater, VersionFileEdgeCases) {
    server.SetBody("/Ok", "Ok");
    Publish("QVBrelmox2.ini", "cfg");
    // An empty :VersaoAtual leaves both keys alone; the first of two lines of a name counts.
    Publish("Versao.txt",
            "Start.Ok=1\r\nEnd.Ok=1\r\n:VersaoAtual=\r\n:DataVersaoAtual=01/01/2020\r\n"
            "twice.dat=3.1\r\ntwice.dat=3.2\r\n");
    Publish("twice.dat", "t");
    updater.CheckForUpdates();
    EXPECT_EQ(Ini("Versao", "VersaoAtual"), "<none>");
    EXPECT_EQ(Ini("Versao", "DataVersaoAtual"), "<none>");
    EXPECT_EQ(Ini("Versao", "twice.dat"), "3.1");
}

TEST_F(Updater, AReadOnlyProfileFileEndsTheCheck) {
    // A directory where QVBrelmox.ini should be: every write is refused.
    ASSERT_TRUE(platform::MakeDirectory(dir / "QVBrelmox.ini"));
    server.SetBody("/Ok", "Ok");
    try {
        updater.CheckForUpdates();
        ADD_FAILURE();
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message(), "Incapaz de escrever para " + dir.Path() + "QVBrelmox.ini");
    }
    EXPECT_EQ(server.Log().size(), 2u); // probe and report, then the write of Connect/Last
}

TEST(UpdateServer, AddressFromTheOverrideOrBuiltIn) {
    const struct {
        const char* override;
        std::string host;
        int port;
        bool tls;
    } cases[] = {
        {"", DefaultUpdateHost, 80, false},
        {"  ", DefaultUpdateHost, 80, false},
        {"127.0.0.1", "127.0.0.1", 80, false},
        {"localhost:8080", "localhost", 8080, false},
        {" stage-1.example:65535 ", "stage-1.example", 65535, false},
        {"https://127.0.0.1", "127.0.0.1", 443, true},
        {"HTTPS://stage.example:8443", "stage.example", 8443, true},
        {"http://host", "host", 80, false},
        {"http://host:81", "host", 81, false},
    };
    for (const auto& c : cases) {
        TServerAddress a = UpdateServerAddress(c.override);
        EXPECT_EQ(a.Host, c.host) << c.override;
        EXPECT_EQ(a.Port, c.port) << c.override;
        EXPECT_EQ(a.Tls, c.tls) << c.override;
        EXPECT_EQ(a.Error, "") << c.override;
    }
    EXPECT_STREQ(DefaultUpdateHost, "atualiza.qvbrelmox.com.br");

    // A value that does not parse never falls back to the built-in host.
    for (const char* bad : {"host:0", "host:65536", "host:65616", "host:abc", ":81",
                            "host:", "host:+80", "ftp://host", "https://", "https://host/x",
                            "http:/host", "host name", "host:80:81", "h\xE9st"}) {
        TServerAddress a = UpdateServerAddress(bad);
        EXPECT_EQ(a.Host, "") << bad;
        EXPECT_EQ(a.Error, BadServerAddressMessage(bad)) << bad;
        EXPECT_NE(a.Error.find(std::string("\"") + bad + "\""), std::string::npos) << bad;
    }
}

TEST(UpdateServer, TheClientSendsTheDesignedHead) {
    TIdHTTP http;
    ConfigureUpdateClient(http, UpdateServerAddress("update.example:8080"));
    TMemoryIOHandler transport({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOk"});
    transport.Open();
    http.SetIOHandler(&transport);
    EXPECT_EQ(http.GetToString("/Ok"), "Ok");
    http.SetIOHandler(nullptr);
    EXPECT_EQ(transport.sent, "GET /Ok HTTP/1.1\r\nHost: update.example:8080\r\n"
                              "Accept: text/html, */*\r\n"
                              "User-Agent: Mozilla/3.0 (compatible; QVBrelmox)\r\n\r\n");
    EXPECT_FALSE(http.AllowCookies);
    EXPECT_EQ(http.HTTPOptions, hoForceEncodeParams);
    // Finite from the start: a silent server cannot hold the start for ever.
    EXPECT_EQ(http.ReadTimeout, UpdateClientReadTimeout);
    EXPECT_EQ(http.ConnectTimeout, UpdateClientConnectTimeout);
}

TEST_F(Updater, ARefusedServerAddressContactsNoServer) {
    server.SetBody("/Ok", "Ok");
    Publish("QVBrelmox2.ini", "[x]\r\n");
    updater.ServerAddressError = BadServerAddressMessage("host:99999");
    updater.CheckForUpdates();
    EXPECT_EQ(view.boxes, std::vector<std::string>{BadServerAddressMessage("host:99999")});
    EXPECT_TRUE(server.Log().empty());
    EXPECT_EQ(updater.FetchText("/Ok"), "");
    EXPECT_TRUE(server.Log().empty());
    EXPECT_EQ(Ini("Connect", "Last"), "<none>"); // as when the server cannot be reached
    EXPECT_TRUE(view.labels.empty());
}

TEST_F(Updater, TextRepliesAndFilesReadWholeAreBoundedWhileStreamedFilesAreNot) {
    // A probe that streams until close: a failed fetch, long before the stream ends.
    server.StreamWithoutEnd("/Ok", false);
    EXPECT_FALSE(updater.ReportUsage());
    EXPECT_LT(server.Streamed(), TMiniServer::StreamCap / 8);

    // A report answered with an endless chunked body: no message file, the check goes on.
    TMiniServer other;
    http.SetPort(other.Port());
    other.SetBody("/Ok", "Ok");
    ASSERT_TRUE(platform::MakeDirectory(dir / "Msg"));
    std::string report;
    other.StreamWithoutEnd("/cgi-bin/QVBrelmoxDLL.dll?Versao=&IP=" + LocalAddressText() +
                               "&Unid=&User=&Fone=&Email=&Ex=Contrib&VersaoExe=",
                           true);
    EXPECT_TRUE(updater.ReportUsage());
    EXPECT_EQ(other.Log().size(), 2u);
    EXPECT_TRUE(platform::ListFiles(dir / "Msg\\").empty());
    EXPECT_LT(other.Streamed(), TMiniServer::StreamCap / 8);

    // A digest reply without end fails the download.
    const std::string big(TextReplyLimit + 10, 'b');
    other.SetBody("/files/Contrib/big.dat", big);
    other.StreamWithoutEnd("/md5.php?files/Contrib/big.dat", false);
    EXPECT_EQ(updater.DownloadVerifiedToFile("big.dat", 15, true, dir / "big.dat"),
              TUpdater::srFailedDownload);
    EXPECT_EQ(view.boxes.size(), 1u);

    // Versao.txt without end, and one past the bound: read whole into memory, so refused.
    TMiniServer third;
    http.SetPort(third.Port());
    third.StreamWithoutEnd("/files/Contrib/Versao.txt", false);
    EXPECT_EQ(updater.DownloadVerified("Versao.txt", 5, false), "");
    EXPECT_LT(third.Streamed(), TMiniServer::StreamCap / 8);
    http.SetPort(server.Port());
    const std::string over(ConfigDownloadLimit + 1, 'v');
    Publish("Versao.txt", over);
    EXPECT_EQ(updater.DownloadVerified("Versao.txt", 5, false), "");
    Publish("Versao.txt", over.substr(1));
    EXPECT_EQ(updater.DownloadVerified("Versao.txt", 5, false), over.substr(1));
    // A listed file streams to disk: past the bound is fine.
    Publish("big.dat", big);
    EXPECT_EQ(updater.DownloadVerifiedToFile("big.dat", 15, true, dir / "big.dat"),
              TUpdater::srStored);
}

TEST_F(Updater, FetchesHeldInMemoryEndAtTheirDeadline) {
    // Peers that never give a final answer yet never let a wait run out: interim answers, and a
    // body one byte at a time. Each ends after the deadline, once, without a retry.
    TPeerScript flood = {peer::WaitFor("\r\n\r\n")}, trickle = flood;
    for (int i = 0; i < 15; ++i) {
        flood.push_back(peer::Send("HTTP/1.1 100 Continue\r\n\r\n"));
        flood.push_back(peer::Pause(150));
    }
    trickle.push_back(peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n"));
    for (int i = 0; i < 15; ++i) {
        trickle.push_back(peer::Send("x"));
        trickle.push_back(peer::Pause(100));
    }
    updater.FetchDeadline = 700;
    http.ReadTimeout = 5000;
    const struct {
        const char* what;
        TPeerScript script;
        std::function<bool(TUpdater&)> fetch;
    } cases[] = {
        {"probe, interim flood", flood, [](TUpdater& u) { return u.ReportUsage(); }},
        {"probe, trickle", trickle, [](TUpdater& u) { return u.ReportUsage(); }},
        {"Versao.txt, trickle", trickle,
         [](TUpdater& u) { return !u.DownloadVerified("Versao.txt", 5, false).empty(); }},
    };
    for (const auto& c : cases) {
        TScriptedPeer peer({c.script});
        http.SetPort(peer.Port());
        const auto start = Clock::now();
        EXPECT_FALSE(c.fetch(updater)) << c.what;
        const auto took = Clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(600)) << c.what;
        EXPECT_LT(took, std::chrono::milliseconds(3000)) << c.what;
        EXPECT_EQ(peer.Accepted(), 1u) << c.what;
        EXPECT_FALSE(http.Deadline) << c.what; // a listed file after it keeps its own waits
    }
}

TEST(UpdaterTemporaries, OnlyOurOwnNamingIsRemoved) {
    // Names of neither platform's temporaries, a user's own dot files, and directories, stay.
    TTempDir dir;
    const char* kept[] = {"qvbnotes.tmp",    "qvb12345.tmp",     "qvb.tmp",
                          "big.dat.Ab12Cd",  ".big.dat.Ab1",     ".big.dat.Ab12C!",
                          "QVBrelmox.ini",   "qvb1a.tmpx",       ".bashrc.backup",
                          ".big.dat.Ab12Cd", ".x.qvb-Ab12C.tmp", ".x.qvb-Ab12Cd.tmpx"};
    for (const char* name : kept)
        ASSERT_TRUE(platform::WriteFileAtomically(dir / name, "user"));
    ASSERT_TRUE(platform::MakeDirectory(dir / "qvb1.tmp"));
    ASSERT_TRUE(platform::MakeDirectory(dir / ".d.ABCDEF"));
    RemoveStaleTemporaries(dir.Path());
    RemoveStaleTemporaries(dir / "Missing\\");
    for (const char* name : kept)
        EXPECT_TRUE(platform::FileExists(dir / name)) << name;
    EXPECT_TRUE(platform::DirectoryExists(dir / "qvb1.tmp"));
    EXPECT_TRUE(platform::DirectoryExists(dir / ".d.ABCDEF"));
    EXPECT_EQ(platform::ListFiles(dir.Path()).size(), std::size(kept));

    // What an interrupted write leaves is ours, and goes.
    std::string temporary;
    const platform::FileHandle file = platform::CreateTemporaryBeside(dir / "big.dat", temporary);
    ASSERT_NE(file, platform::InvalidFile);
    platform::CloseFile(file);
    RemoveStaleTemporaries(dir.Path());
    EXPECT_FALSE(platform::FileExists(temporary));
    EXPECT_EQ(platform::ListFiles(dir.Path()).size(), std::size(kept));
}

TEST_F(Updater, StaleTemporariesGoFromTheFoldersOfListedFiles) {
    // A cut download into Local\ left its temporary there; a user's file beside it stays.
    ASSERT_TRUE(platform::MakeDirectory(dir / "Local"));
    ASSERT_TRUE(platform::MakeDirectory(dir / "Local\\deep"));
    std::vector<std::string> stale(2);
    for (const char* target : {"Local\\x.dat", "Local\\deep\\y.dat"}) {
        std::string& temporary = stale[target[6] == 'x' ? 0 : 1];
        const platform::FileHandle file = platform::CreateTemporaryBeside(dir / target, temporary);
        ASSERT_NE(file, platform::InvalidFile);
        platform::CloseFile(file);
    }
    ASSERT_TRUE(platform::WriteFileAtomically(dir / "Local\\notas.txt", "user"));
    server.SetBody("/Ok", "Ok");
    Publish("QVBrelmox2.ini", "[x]\r\n");
    Publish("Versao.txt", "Start.Ok=1\r\nLocal\\x.dat=1\r\nLocal\\deep\\y.dat=1\r\n"
                          "..\\z.dat=1\r\nEnd.Ok=1\r\n");
    Publish("Local\\x.dat", "x");
    Publish("Local\\deep\\y.dat", "y");
    updater.CheckForUpdates();
    for (const std::string& temporary : stale)
        EXPECT_FALSE(platform::FileExists(temporary)) << temporary;
    EXPECT_EQ(ReadFileOrDie(dir / "Local\\notas.txt"), "user");
    EXPECT_EQ(ReadFileOrDie(dir / "Local\\deep\\y.dat"), "y");
}

TEST_F(Updater, StreamedFilesTakeTheirPlaceOnlyWhenTheyVerify) {
    const std::string body(3 << 20, 'x');
    auto onlyOldFile = [&](const char* what) {
        EXPECT_EQ(ReadFileOrDie(dir / "big.dat"), "old") << what;
        EXPECT_EQ(platform::ListFiles(dir.Path()), std::vector<std::string>{"big.dat"}) << what;
    };
    ASSERT_TRUE(platform::WriteFileAtomically(dir / "big.dat", "old"));

    // A digest that does not match: the old file stays, no temporary is left.
    server.SetBody("/files/Contrib/big.dat", body);
    server.SetBody("/md5.php?files/Contrib/big.dat", Digest("something else"));
    EXPECT_EQ(updater.DownloadVerifiedToFile("big.dat", 15, true, dir / "big.dat"),
              TUpdater::srFailedDownload);
    onlyOldFile("digest mismatch");
    EXPECT_EQ(view.boxes.size(), 1u);

    // The connection cut halfway: a short body fails its digest the same way.
    server.SetResponse("/files/Contrib/big.dat",
                       "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\n\r\n" + body.substr(0, body.size() / 2));
    server.SetBody("/md5.php?files/Contrib/big.dat", Digest(body));
    EXPECT_EQ(updater.DownloadVerifiedToFile("big.dat", 15, true, dir / "big.dat"),
              TUpdater::srFailedDownload);
    onlyOldFile("cut halfway");

    // The not-found text is known by its first bytes, whatever the digest says.
    server.SetBody("/files/Contrib/big.dat", NotFound);
    server.SetBody("/md5.php?files/Contrib/big.dat", Digest(NotFound));
    EXPECT_EQ(updater.DownloadVerifiedToFile("big.dat", 15, false, dir / "big.dat"),
              TUpdater::srFailedDownload);
    onlyOldFile("not found");

    // Verified: the file takes its place in one step, with nothing left beside it.
    Publish("big.dat", body);
    EXPECT_EQ(updater.DownloadVerifiedToFile("big.dat", 15, true, dir / "big.dat"),
              TUpdater::srStored);
    EXPECT_EQ(ReadFileOrDie(dir / "big.dat"), body);
    EXPECT_EQ(platform::ListFiles(dir.Path()).size(), 1u);
    EXPECT_EQ(server.Log().size(), 7u); // a file and its digest each time, none after not found
}

// ---- signed releases ----

namespace {

class SignedUpdater : public Updater {
protected:
    SignedUpdater() {
        updater.SignedReleases = true;
        EXPECT_TRUE(ReleaseKeysFromPems({signed_release::KeyPem}, updater.ReleaseKeys));
        server.SetBody("/Ok", "Ok");
        Publish("QVBrelmox2.ini", signed_release::Config);
        Publish("Versao.txt", signed_release::VersionFile);
        Publish("tabela.dat", signed_release::Table);
        server.SetBody("/files/Contrib/Manifesto.txt", signed_release::Manifest);
        server.SetBody("/files/Contrib/Manifesto.sig", signed_release::Signature + "\r\n");
    }

    std::vector<std::string> Requests() {
        std::vector<std::string> out;
        for (const std::string& line : server.Log()) {
            std::string target = line.substr(4, line.rfind(' ') - 4);
            out.push_back(target.rfind("/cgi-bin/", 0) == 0 ? "report" : target);
        }
        return out;
    }
};

const std::vector<std::string> ManifestRequests = {"/Ok", "report", "/files/Contrib/Manifesto.txt",
                                                   "/files/Contrib/Manifesto.sig"};

} // namespace

TEST_F(SignedUpdater, ASignedReleaseInstallsAndItsSequenceIsKept) {
    updater.CheckForUpdates();
    // With no candidate, its manifest is the one new request (answered 404).
    std::vector<std::string> wanted = ManifestRequests;
    wanted.push_back("/files/Contrib/Candidato.txt");
    for (const char* name : {"QVBrelmox2.ini", "Versao.txt", "tabela.dat"}) {
        wanted.push_back(std::string("/files/Contrib/") + name);
        wanted.push_back(std::string("/md5.php?files/Contrib/") + name);
    }
    EXPECT_EQ(Requests(), wanted);
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(ReadFileOrDie(dir / "tabela.dat"), signed_release::Table);
    EXPECT_EQ(Ini("Assinatura", "Sequencia"), "5");
    // The same release again is accepted: the sequence may stay.
    updater.CheckForUpdates();
    EXPECT_TRUE(view.boxes.empty());
}

TEST_F(SignedUpdater, RefusedManifestsChangeNothing) {
    // A replayed older release, a missing or garbled signature, another key: one box each, and
    // nothing of the release is requested.
    const struct {
        const char* what;
        std::function<void(TMiniServer&, TTempDir&, TUpdater&)> setUp;
    } cases[] = {
        {"older sequence",
         [](TMiniServer&, TTempDir& d, TUpdater&) {
             TProfileFile(d / "QVBrelmox.ini").WriteString("Assinatura", "Sequencia", "6");
         }},
        {"no signature", [](TMiniServer& s, TTempDir&,
                            TUpdater&) { s.SetBody("/files/Contrib/Manifesto.sig", "", 404); }},
        {"garbled signature",
         [](TMiniServer& s, TTempDir&, TUpdater&) {
             s.SetBody("/files/Contrib/Manifesto.sig", "MEUCIHT9wUgVDb28v!!");
         }},
        {"no manifest", [](TMiniServer& s, TTempDir&,
                           TUpdater&) { s.SetBody("/files/Contrib/Manifesto.txt", "", 404); }},
        {"signed for another area",
         [](TMiniServer& s, TTempDir&, TUpdater&) {
             s.SetBody("/files/Contrib/Manifesto.txt", signed_release::BetaManifest);
             s.SetBody("/files/Contrib/Manifesto.sig", signed_release::BetaSignature);
         }},
        {"a built-in key that did not load",
         [](TMiniServer&, TTempDir&, TUpdater& u) {
             u.ReleaseKeys.clear();
             EXPECT_FALSE(ReleaseKeysFromPems({"not a key"}, u.ReleaseKeys));
         }},
    };
    for (const auto& c : cases) {
        TTempDir d;
        TMiniServer s;
        TTestView v;
        TIdHTTP h;
        TSplashValues values;
        TUpdater u(v, h, values, d.Path());
        h.SetHost("127.0.0.1");
        h.SetPort(s.Port());
        u.SignedReleases = true;
        ASSERT_TRUE(ReleaseKeysFromPems({signed_release::KeyPem}, u.ReleaseKeys));
        s.SetBody("/Ok", "Ok");
        s.SetBody("/files/Contrib/Manifesto.txt", signed_release::Manifest);
        s.SetBody("/files/Contrib/Manifesto.sig", signed_release::Signature);
        s.SetBody("/files/Contrib/QVBrelmox2.ini", signed_release::Config);
        c.setUp(s, d, u);
        u.CheckForUpdates();
        EXPECT_EQ(v.boxes, std::vector<std::string>{UnverifiedReleaseMessage}) << c.what;
        EXPECT_EQ(s.Log().size(), 4u) << c.what;
        EXPECT_FALSE(platform::FileExists(d / "QVBrelmox2.ini")) << c.what;
        EXPECT_EQ(TProfileFile(d / "QVBrelmox.ini").ReadString("Versao", "VersaoAtual", "-"), "-")
            << c.what;
    }
}

TEST_F(SignedUpdater, AForgedFileIsRefusedEvenWithItsOwnDigest) {
    // The server forges the table and its MD5 alike; only the manifest tells.
    Publish("tabela.dat", "tabela 6");
    TProfileFile(dir / "QVBrelmox.ini").WriteString("Assinatura", "Sequencia", "3");
    updater.CheckForUpdates();
    EXPECT_EQ(view.boxes,
              std::vector<std::string>{"N\xE3o consegui buscar tabela.dat no servidor..."});
    EXPECT_FALSE(platform::FileExists(dir / "tabela.dat"));
    EXPECT_EQ(Ini("Versao", "tabela.dat"), "<none>");
    // The floor rose when the manifest was accepted: an older release cannot come back in
    // after one that broke half-way.
    EXPECT_EQ(Ini("Assinatura", "Sequencia"), "5");
    // A build without keys takes the same forged file: the check is what makes the difference.
    updater.SignedReleases = false;
    view.boxes.clear();
    updater.CheckForUpdates();
    EXPECT_EQ(ReadFileOrDie(dir / "tabela.dat"), "tabela 6");
}

TEST_F(SignedUpdater, DownloadsStopAtTheSignedSizeAndUnlistedFilesAreNotRequested) {
    server.StreamWithoutEnd("/files/Contrib/tabela.dat", false);
    updater.CheckForUpdates();
    EXPECT_EQ(view.boxes,
              std::vector<std::string>{"N\xE3o consegui buscar tabela.dat no servidor..."});
    EXPECT_LT(server.Streamed(), TMiniServer::StreamCap / 8);
    std::vector<std::string> files = platform::ListFiles(dir.Path());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"QVBrelmox.ini", "QVBrelmox2.ini"}));
    EXPECT_EQ(Requests().back(), "/files/Contrib/tabela.dat"); // no digest after it

    // The manifest of this check stays in force: a file it does not list is never asked for.
    const std::size_t before = server.Log().size();
    view.boxes.clear();
    EXPECT_EQ(updater.DownloadVerifiedToFile("extra.dat", 15, true, dir / "extra.dat"),
              TUpdater::srFailedDownload);
    EXPECT_EQ(view.boxes,
              std::vector<std::string>{"N\xE3o consegui buscar extra.dat no servidor..."});
    EXPECT_EQ(server.Log().size(), before);
    EXPECT_FALSE(platform::FileExists(dir / "extra.dat"));
}

TEST(UpdaterBudget, TheLowSpeedRule) {
    // Each 30 bytes (300 B/s over 100 ms) must come within 100 ms of the previous ones.
    using std::chrono::milliseconds;
    const auto t0 = TBudgetClock::time_point{} + std::chrono::hours(1);
    const struct {
        const char* what;
        std::vector<std::pair<int, int>> pieces; // (ms after the start, bytes)
        int due;                                 // ms after the start
    } cases[] = {
        {"nothing yet", {}, 100},
        {"less than a quota", {{50, 29}}, 100},
        {"a quota moves the limit", {{50, 30}}, 150},
        {"small pieces add up", {{20, 10}, {40, 10}, {60, 10}}, 160},
        {"a burst pays one window ahead only", {{10, 95}}, 110},
        {"the rest of a burst counts towards the next", {{10, 95}, {90, 25}}, 190},
    };
    for (const auto& c : cases) {
        TLowSpeedRule rule(t0, 300, milliseconds(100));
        EXPECT_EQ(rule.Quota(), 30) << c.what;
        for (auto [at, n] : c.pieces)
            rule.Progress(t0 + milliseconds(at), n);
        EXPECT_EQ(rule.Due(), t0 + milliseconds(c.due)) << c.what;
    }
}

TEST_F(Updater, TheWholeCheckKeepsToItsBudget) {
    // Every answer right, each in three pieces well inside every wait: the fetches held in
    // memory share the check's budget, so the check ends there, with no box.
    auto paced = [](const std::string& body) {
        const std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        const std::size_t third = answer.size() / 3;
        return TPeerScript{peer::WaitFor("\r\n\r\n"), peer::Send(answer.substr(0, third)),
                           peer::Pause(300),          peer::Send(answer.substr(third, third)),
                           peer::Pause(300),          peer::Send(answer.substr(2 * third))};
    };
    TScriptedPeer peer({paced("Ok"), paced("ok"), paced("cfg"), paced(Digest("cfg")),
                        paced(GoodVersionFile), paced(Digest(GoodVersionFile))});
    http.SetPort(peer.Port());
    updater.CheckBudget = 1500;
    const auto start = Clock::now();
    updater.CheckForUpdates();
    const auto took = Clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_LE(peer.Accepted(), 3u);
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_FALSE(http.Deadline);
}

TEST_F(Updater, AListedFileStreamsOnlyWhileItMakesProgress) {
    // The low-speed window shortened to 600 ms: 614 bytes are due in each.
    updater.LowSpeedWindow = 600;
    const std::string body(30000, 'y');
    TPeerScript trickle = {peer::WaitFor("\r\n\r\n"),
                           peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")};
    for (int i = 0; i < 40; ++i) {
        trickle.push_back(peer::Send("x"));
        trickle.push_back(peer::Pause(100));
    }
    TPeerScript steady = {peer::WaitFor("\r\n\r\n"),
                          peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 30000\r\n\r\n")};
    for (int i = 0; i < 15; ++i) {
        steady.push_back(peer::Send(body.substr(0, 2000)));
        steady.push_back(peer::Pause(200));
    }
    const TPeerScript digest = {
        peer::WaitFor("\r\n\r\n"),
        peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 36\r\n\r\n" + Digest(body))};
    const struct {
        const char* what;
        std::vector<TPeerScript> scripts;
        TUpdater::TStoreResult result;
        int atLeast, below; // ms
    } cases[] = {
        {"a byte every 100 ms: abandoned", {trickle}, TUpdater::srFailedDownload, 550, 3000},
        {"2000 bytes every 200 ms, past many windows",
         {steady, digest},
         TUpdater::srStored,
         2500,
         8000},
    };
    for (const auto& c : cases) {
        TScriptedPeer peer(c.scripts);
        http.SetPort(peer.Port());
        const auto start = Clock::now();
        EXPECT_EQ(updater.DownloadVerifiedToFile("big.dat", 15, true, dir / "big.dat"), c.result)
            << c.what;
        const auto took = Clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(c.atLeast)) << c.what;
        EXPECT_LT(took, std::chrono::milliseconds(c.below)) << c.what;
        EXPECT_FALSE(http.Deadline) << c.what;
    }
    EXPECT_EQ(ReadFileOrDie(dir / "big.dat"), body);
}

TEST_F(Updater, ACutDownloadGoesOnFromWhereItStopped) {
    // A file cut at every tenth of it: each answer brings 1000 more bytes, then the connection
    // ends. Each call makes four attempts (three retries after a close), so three starts bring
    // the whole file; every attempt after the first asks only for the rest. A cut is retried at
    // once only when it brought the low-speed rule's quota: 921 bytes for a window of 900 ms.
    // With the usual quota (30 KiB) the same cut waits for the next start.
    std::string body;
    for (int i = 0; i < 10000; ++i)
        body += static_cast<char>('a' + i % 26);
    std::vector<TPeerScript> scripts;
    for (int i = 0; i < 10; ++i) {
        const std::string head =
            i == 0 ? "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\nETag: \"v1\"\r\n\r\n"
                   : "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                         std::to_string(i * 1000) +
                         "-9999/10000\r\nContent-Length: " + std::to_string(10000 - i * 1000) +
                         "\r\nETag: \"v1\"\r\n\r\n";
        scripts.push_back({peer::WaitFor("\r\n\r\n"),
                           peer::Send(head + body.substr(i * 1000, 1000)), peer::Close()});
    }
    scripts.push_back({peer::WaitFor("\r\n\r\n"),
                       peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 36\r\n\r\n" + Digest(body))});
    {
        TScriptedPeer trickle({scripts[0], scripts[1]});
        http.SetPort(trickle.Port());
        EXPECT_EQ(updater.DownloadVerifiedToFile("tabela.dat", 15, true, dir / "t2.dat", "7"),
                  TUpdater::srFailedDownload);
        EXPECT_EQ(trickle.Accepted(), 1u);
        EXPECT_EQ(ReadFileOrDie(dir / "t2.dat.qvbpart"), body.substr(0, 1000));
    }
    updater.LowSpeedWindow = 900;
    TScriptedPeer peer(scripts);
    http.SetPort(peer.Port());
    const std::string target = dir / "tabela.dat";
    for (int start = 0; start < 2; ++start) {
        EXPECT_EQ(updater.DownloadVerifiedToFile("tabela.dat", 15, true, target, "7"),
                  TUpdater::srFailedDownload);
        EXPECT_EQ(ReadFileOrDie(target + ".qvbpart"), body.substr(0, 4000 * (start + 1)));
        EXPECT_NE(Ini("Parcial", "tabela.dat").find("\t7\t\"v1\""), std::string::npos);
    }
    EXPECT_EQ(updater.DownloadVerifiedToFile("tabela.dat", 15, true, target, "7"),
              TUpdater::srStored);
    EXPECT_EQ(ReadFileOrDie(target), body);
    EXPECT_FALSE(platform::FileExists(target + ".qvbpart"));
    EXPECT_EQ(Ini("Parcial", "tabela.dat"), "<none>"); // the record goes with the file
    EXPECT_EQ(peer.Received(0).find("Range:"), std::string::npos);
    for (std::size_t i = 1; i < 10; ++i) {
        const std::string head = peer.Received(i).substr(0, peer.Received(i).find("\r\n\r\n") + 2);
        EXPECT_NE(head.find("\r\nRange: bytes=" + std::to_string(i * 1000) + "-\r\n"),
                  std::string::npos)
            << head;
        EXPECT_NE(head.find("\r\nIf-Range: \"v1\"\r\n"), std::string::npos) << head;
    }
    EXPECT_EQ(view.boxes.size(), 3u); // one for each start that did not finish
}

TEST_F(Updater, AResumeThatCannotGoOnStartsAgain) {
    // Bytes kept from an earlier start, then: a proxy that ignores the range (200, the whole
    // file), a server that refuses it (416, and the whole file next), another version listed
    // (the bytes are dropped unasked), and an answer without a validator (nothing kept).
    const std::string body(5000, 'n'), target = dir / "t.dat";
    const std::string whole =
        "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nETag: \"v2\"\r\n\r\n" + body;
    const TPeerScript digest = {
        peer::WaitFor("\r\n\r\n"),
        peer::Send("HTTP/1.1 200 OK\r\nContent-Length: 36\r\n\r\n" + Digest(body))};
    const TPeerScript refuse = {peer::WaitFor("\r\n\r\n"),
                                peer::Send("HTTP/1.1 416 Range Not Satisfiable\r\n"
                                           "Content-Length: 0\r\n\r\n")};
    const TPeerScript answer = {peer::WaitFor("\r\n\r\n"), peer::Send(whole)};
    const struct {
        const char* what;
        std::string version;
        std::vector<TPeerScript> scripts;
        bool ranged; // the first request asked for the rest
    } cases[] = {
        {"range ignored", "1", {answer, digest}, true},
        {"range refused", "1", {refuse, answer, digest}, true},
        {"another version", "2", {answer, digest}, false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SaveTextToFile(target + ".qvbpart", "stale bytes"));
        TProfileFile(dir / "QVBrelmox.ini")
            .WriteString("Parcial", "t.dat", std::to_string(DaysSinceEpoch()) + "\t1\t\"v1\"");
        TScriptedPeer peer(c.scripts);
        http.SetPort(peer.Port());
        EXPECT_EQ(updater.DownloadVerifiedToFile("t.dat", 15, true, target, c.version),
                  TUpdater::srStored)
            << c.what;
        EXPECT_EQ(ReadFileOrDie(target), body) << c.what;
        EXPECT_EQ(peer.Received(0).find("Range: bytes=11-") != std::string::npos, c.ranged)
            << c.what;
        EXPECT_FALSE(platform::FileExists(target + ".qvbpart")) << c.what;
    }
    EXPECT_TRUE(view.boxes.empty());

    TPartialRecord record;
    const long long today = DaysSinceEpoch();
    EXPECT_TRUE(record.Parse(std::to_string(today) + "\t3.1\t\"x\"") &&
                record.UsableFor("3.1", today));
    EXPECT_FALSE(record.UsableFor("3.2", today));
    EXPECT_FALSE(record.UsableFor("3.1", today + PartialKeepDays));
    EXPECT_TRUE(record.UsableFor("3.1", today + PartialKeepDays - 1));
    EXPECT_FALSE(record.Parse("soon\t3.1\tx"));
    EXPECT_EQ(ResumeValidator("W/\"weak\"", "Tue, 01 Dec 2026 10:00:00 GMT"),
              "Tue, 01 Dec 2026 10:00:00 GMT");
    EXPECT_EQ(ResumeValidator("", ""), "");
    // Kept only printable, on one line, at most 256 bytes: it goes to the profile and back
    // into a head.
    const std::string date = "Tue, 01 Dec 2026 10:00:00 GMT";
    for (const std::string& bad :
         {std::string("\"a\rb\""), std::string("\"a\nb\""), std::string("\"a\0b\"", 5),
          std::string("\"\xE9\""), "\"" + std::string(255, 'x') + "\""}) {
        EXPECT_EQ(ResumeValidator(bad, ""), "") << bad;
        EXPECT_FALSE(record.Parse(std::to_string(today) + "\t3.1\t" + bad) &&
                     record.UsableFor("3.1", today))
            << bad;
    }
    EXPECT_EQ(ResumeValidator("\"" + std::string(254, 'x') + "\"", "").size(), 256u);
    EXPECT_EQ(ResumeValidator("", "Tue,\r\n[Assinatura]"), "");
    EXPECT_EQ(ResumeValidator("\"ok\"", date), "\"ok\"");
}

TEST_F(Updater, AKeptConnectionServesTheWholeCheckAndAStaleOneIsLeftForANewOne) {
    // One peer connection answers two requests and then closes without a word: the third
    // request finds it gone and goes again on a fresh connection. Without KeepConnection every
    // request has a connection of its own.
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOk";
    for (bool keep : {true, false}) {
        TScriptedPeer peer({{peer::WaitFor("GET /a "), peer::Send(ok), peer::WaitFor("GET /b "),
                             peer::Send(ok), peer::Close()},
                            {peer::WaitFor("\r\n\r\n"), peer::Send(ok)},
                            {peer::WaitFor("\r\n\r\n"), peer::Send(ok)}});
        http.SetPort(peer.Port());
        updater.KeepConnection = keep;
        for (const char* url : {"/a", "/b", "/c"})
            EXPECT_EQ(updater.FetchText(url), "Ok") << url;
        EXPECT_EQ(peer.Accepted(), keep ? 2u : 3u) << keep;
    }
}
