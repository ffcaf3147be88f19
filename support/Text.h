#pragma once
// Text helpers for 8-bit code page 1252 text, one byte per character.

#include <string>
#include <string_view>
#include <vector>

// The upper-case form of one code page 1252 character (ASCII and the accented letters).
char AnsiUpperChar(char c);

// Equal without regard to letter case.
bool SameText(std::string_view a, std::string_view b);

// Orders two texts without regard to letter case: negative, 0 or positive.
int CompareText(std::string_view a, std::string_view b);

// Removes leading and trailing characters at or below the space character.
std::string_view Trim(std::string_view s);

// A decimal integer with an optional sign, nothing else; false when the text is not one or
// does not fit.
bool TryStrToInt64(std::string_view text, long long& value);

// As TryStrToInt64, raising EConvertError "'<text>' não é um valor inteiro válido" on failure.
long long StrToInt64(std::string_view text);

std::string UpperCase(std::string_view text);

// The lines of a text that end at CR, LF or CR LF (a final line without an end counts too).
std::vector<std::string_view> SplitLines(std::string_view text);
