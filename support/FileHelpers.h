#pragma once
// File, path and version helpers shared by the splash window and the update exchange.
// They report failure by their results, never by an exception, except ForceDirectories on an
// empty path.

#include <cstddef>
#include <string>
#include <string_view>

// The directory of the running executable, up to and including its last backslash or drive
// colon.
std::string AppDirectory();

// The directory part of a path, up to and including its last backslash or drive colon;
// empty when it has neither.
std::string ExtractFilePath(const std::string& path);

// Makes the file hold exactly these bytes: true when it does. The old file stays intact when
// the write fails; no temporary file is left behind.
bool SaveTextToFile(const std::string& path, std::string_view text);

// Writes the file's Portuguese (Brazil) FileVersion text into result; an empty file name means
// the running executable. Writes nothing when the file has no such version text.
void GetFileVersionText(const std::string& fileName, std::string& result);

// The first n characters (all of them when n is not below the length).
std::string LeftPart(const std::string& text, std::size_t n);

// The last n characters (all of them when n is not below the length).
std::string RightPart(const std::string& text, std::size_t n);

// Makes a directory and its missing parents; true when it exists afterwards.
// Raises EInOutError "Incapaz de criar diretório" for an empty path.
bool ForceDirectories(std::string path);
