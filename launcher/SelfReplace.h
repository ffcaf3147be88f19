#pragma once
// The exit-time swap of a launcher executable that the version check delivered.

#include <string>

// In directory (ending in a backslash): when "QVBrelmox.new" exists, drop "QVBrelmox.ant",
// keep "QVBrelmox.exe" as "QVBrelmox.ant" and move "QVBrelmox.new" into its place. When the new
// file cannot take the place, the kept executable is moved back, so the directory never loses
// its launcher, and "QVBrelmox.new" waits for the next exit. Reports nothing.
void ReplaceOwnExecutable(const std::string& directory);
