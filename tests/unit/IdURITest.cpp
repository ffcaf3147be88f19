#include "http/IdURI.h"

#include <gtest/gtest.h>

TEST(IdURI, ParsesTheTypicalForms) {
    const struct {
        const char *in, *protocol, *user, *password, *host, *port, *path, *file, *query, *fragment;
    } cases[] = {
        {"http://host", "http", "", "", "host", "", "/", "", "", ""},
        {"http://host:81/f", "http", "", "", "host", "81", "/", "f", "", ""},
        {"/Ok", "", "", "", "", "", "/", "Ok", "", ""},
        {"cgi-bin/x.dll?a=1&b=/c", "", "", "", "", "", "cgi-bin/", "x.dll", "?a=1&b=/c", ""},
        {"/md5.php?files/Contrib/x", "", "", "", "", "", "/", "md5.php", "?files/Contrib/x", ""},
        {"http://host:8080/a/b/doc.php?x=1#top", "http", "", "", "host", "8080", "/a/b/", "doc.php",
         "?x=1", "top"},
        {"http://u:p@host/", "http", "u", "p", "host", "", "/", "", "", ""},
        {"http://u@host/", "http", "u", "", "host", "", "/", "", "", ""},
        {"http://:p@host/", "http", "", "", "host", "", "/", "", "", ""},
        {"http://host/a/page#sec", "http", "", "", "host", "", "/a/", "page", "", "sec"},
        {"page#sec", "", "", "", "", "", "", "page", "", "sec"},
        {"http://host/a?x=1#f", "http", "", "", "host", "", "/", "a", "?x=1", "f"},
        {"http://host\\dir\\f", "http", "", "", "host", "", "/dir/", "f", "", ""},
        {"doc=1", "", "", "", "", "", "", "doc", "=1", ""},
        {"x.dll", "", "", "", "", "", "", "x.dll", "", ""},
        {"", "", "", "", "", "", "", "", "", ""},
    };
    for (const auto& c : cases) {
        TIdURI u(c.in);
        EXPECT_EQ(u.Protocol, c.protocol) << c.in;
        EXPECT_EQ(u.Username, c.user) << c.in;
        EXPECT_EQ(u.Password, c.password) << c.in;
        EXPECT_EQ(u.Host, c.host) << c.in;
        EXPECT_EQ(u.Port, c.port) << c.in;
        EXPECT_EQ(u.Path, c.path) << c.in;
        EXPECT_EQ(u.FileName, c.file) << c.in;
        EXPECT_EQ(u.Query, c.query) << c.in;
        EXPECT_EQ(u.Fragment, c.fragment) << c.in;
    }
    EXPECT_EQ(TIdURI("http://host\\dir\\f").UriText, "http://host/dir/f");
}

TEST(IdURI, ComposesAndRefusesMissingParts) {
    TIdURI u("http://u:p@host:81/a/f?q=1#frag");
    EXPECT_EQ(u.ComposeUri(0), "http://host:81/a/f?q=1");
    EXPECT_EQ(u.ComposeUri(withUserInfo | withFragment), "http://u:p@host:81/a/f?q=1#frag");
    EXPECT_EQ(u.FullUri(), "http://host:81/a/f?q=1");
    EXPECT_EQ(u.UriText, "http://u:p@host:81/a/f?q=1#frag");
    TIdURI relative("/x");
    try {
        relative.ComposeUri(0);
        ADD_FAILURE();
    } catch (const EIdURIException& e) {
        EXPECT_EQ(e.Message(), "Protocol field is empty");
    }
    relative.Protocol = "http";
    try {
        relative.ComposeUri(0);
        ADD_FAILURE();
    } catch (const EIdURIException& e) {
        EXPECT_EQ(e.Message(), "Host field is empty");
    }
}

TEST(IdURI, MergePath) {
    const struct {
        const char *base, *path, *out;
    } cases[] = {
        {"/", "cgi-bin/", "/cgi-bin/"}, {"", "cgi-bin/", "cgi-bin/"},
        {"/a/b/", "../c/", "/a/c/"},    {"/a/", "", "/a/"},
        {"/a/", "/x/", "/x/"},          {"/a/b", "../c", "/a/c"},
        {"/a//b/", "./c", "/a/b/./c"},  {"/", "../../x", "/x"},
        {"/a/b/", "../../../", "/"},    {"/a", "b", "/a/b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TIdURI::MergePath(c.base, c.path, "/"), c.out) << c.base << " + " << c.path;
}

TEST(IdURI, EncodeQuery) {
    EXPECT_EQ(TIdURI::EncodeQuery("a b&c=\xE7"), "a%20b&c=%E7");
    EXPECT_EQ(TIdURI::EncodeQuery("[x]"), "%5Bx%5D");
    EXPECT_EQ(TIdURI::EncodeQuery("#%*<>"), "%23%25%2A%3C%3E");
    EXPECT_EQ(TIdURI::EncodeQuery("&=?/:+\"'~"), "&=?/:+\"'~");
    EXPECT_EQ(TIdURI::EncodeQuery(std::string("\x80\x81\x01\x00 !", 6)), "\x80%81%01%00%20!");
}

TEST(IdURI, TakeTokenAndFindLast) {
    std::string text = "a:b:c";
    EXPECT_EQ(TakeToken(text, ":"), "a");
    EXPECT_EQ(text, "b:c");
    EXPECT_EQ(TakeToken(text, "-"), "b:c");
    EXPECT_EQ(text, "");
    std::string keep = "keyXvalue";
    EXPECT_EQ(TakeToken(keep, "x", false, false), "key");
    EXPECT_EQ(keep, "keyXvalue");
    EXPECT_EQ(TakeToken(keep, "x", true, true), "keyXvalue");
    EXPECT_EQ(FindLast("/", "a/b/c"), 4);
    EXPECT_EQ(FindLast("/", "a/b/c", 3), 2);
    EXPECT_EQ(FindLast("B", "abab"), 4);
    EXPECT_EQ(FindLast("/", "abc"), 0);
    EXPECT_EQ(FindLast("abcd", "ab"), 0);
}
