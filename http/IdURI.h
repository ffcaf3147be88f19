#pragma once
// URLs split into parts and composed again, relative paths merged, queries percent-encoded.
// Texts are 8-bit; nothing is decoded.

#include <string>

#include "http/IdException.h"

class EIdURIException : public EIdException {
public:
    using EIdException::EIdException;
};

// The part of text before the first delimiter (all of it when there is none); with remove,
// text keeps what follows the delimiter (or becomes empty).
std::string TakeToken(std::string& text, const std::string& delimiter, bool remove = true,
                      bool caseSensitive = true);

// The last 1-based position p <= start (start -1: the end) at which sub occurs in text,
// compared without regard to case; 0 when there is none.
int FindLast(const std::string& sub, const std::string& text, int start = -1);

enum TIdURIOption { withUserInfo = 1, withFragment = 2 };
using TIdURIOptions = int;

class TIdURI {
public:
    explicit TIdURI(const std::string& uri = "");

    void ParseUri(const std::string& uri);
    // Raises EIdURIException "Protocol field is empty" / "Host field is empty".
    std::string ComposeUri(TIdURIOptions options) const;
    // Sets UriText to the form with user information and fragment; returns the form without.
    std::string FullUri();

    // Turns backslashes into slashes, stepping over double-byte characters.
    static void SlashPath(std::string& text);
    static std::string MergePath(const std::string& base, const std::string& path,
                                 const std::string& delimiter);
    // Percent-encodes space # % * < > [ ] and bytes below 33 or above 128.
    static std::string EncodeQuery(const std::string& text);

    std::string UriText, Protocol, Username, Password, Host, Port, Path, FileName, Query, Fragment;
};
