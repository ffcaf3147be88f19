#pragma once
// The texts the update server sends and the launcher reads: names it gives, its digest reply,
// its message files, its not-found answer.

#include <string>

// The download area: its name, which a signed manifest must carry, and its path.
extern const char* const AreaName;
extern const char* const DownloadArea;

// The server's body for a file that is not in its download area ("Arquivo não encontrado."
// with the byte 0xC6 where the a-tilde was meant).
extern const char* const NotFoundText;

// Whether a name given by the server stays inside the directory it is joined to: not absolute,
// no drive letter, no UNC path, no ".." segment, not empty.
bool IsSafeRelativeName(const std::string& name);

// The digest reply: "OK", the hexadecimal MD5 (either letter case) whose upper-case text form
// is md5Text, "OK", and nothing else.
bool DigestReplyMatches(const std::string& reply, const std::string& md5Text);

// A message file in the report's answer: its first 30 characters, trimmed, are the name, the
// rest is the content. False when the answer carries none, or the name is not a plain file name.
bool SplitMessageFile(const std::string& answer, std::string& name, std::string& content);

// The extension of a file name: from the last "." after the last path delimiter or drive colon,
// the dot included; empty when there is none.
std::string FileExtension(const std::string& name);
