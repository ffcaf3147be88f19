#pragma once
// Header lines as they go on the wire: an ordered list of "Name: value" lines, looked up by name
// without regard to case, with folding of long values and unfolding of continuation lines.

#include <string>
#include <vector>

// Bounds of the response head the client accepts, so a peer cannot make it grow without end.
constexpr std::size_t IdMaxHeaderLines = 10000;
constexpr std::size_t IdMaxHeaderBytes = 1 << 20;

class TIdHeaderList {
public:
    TIdHeaderList() = default;

    // The plain list.
    int Count() const { return static_cast<int>(lines_.size()); }
    const std::string& operator[](int i) const { return lines_[static_cast<std::size_t>(i)]; }
    void Add(const std::string& line) { lines_.push_back(line); }
    void Insert(int i, const std::string& line);
    void Put(int i, const std::string& line) { lines_[static_cast<std::size_t>(i)] = line; }
    void Delete(int i);
    void Clear() { lines_.clear(); }
    const std::vector<std::string>& Lines() const { return lines_; }
    // Every line followed by CR LF.
    std::string Text() const;
    // Appends the lines of a text split at CR LF, CR or LF.
    void AddText(const std::string& text);

    // The name of line i (upper-cased unless MatchCase): the text before its first colon, as it
    // stands; empty when the line has none.
    std::string NameOfLine(int i) const;
    int FindName(const std::string& name) const;
    // The value of line i (with continuation lines joined when Unfold), trimmed.
    std::string ValueOfLine(int i) const;
    std::string GetValue(const std::string& name) const;
    // Replaces the first line of the name in place (appends one when absent); an empty value
    // deletes it.
    void SetValue(const std::string& name, const std::string& value);
    void CollectValues(const std::string& name, std::vector<std::string>& values) const;
    void RemoveContinuations(int i);
    void FoldInto(const std::string& line, int i);
    std::vector<std::string> FoldText(const std::string& line) const;

    std::string Separator = ": ";
    bool MatchCase = false;
    bool Unfold = true;
    bool Fold = true;
    int FoldWidth = 78;

private:
    bool IsContinuation(int i) const;

    std::vector<std::string> lines_;
};

// Base64 of RFC 2045 on one line, and back.
class TIdEncoderMIME {
public:
    static std::string Encode(const std::string& bytes);
    // Raises EIdException "Uneven size in Encode." for a counted input whose length is not a
    // multiple of 3 (whole texts are always padded).
    static std::string EncodeCounted(const std::string& bytes, std::size_t count);
};

class TIdDecoderMIME {
public:
    // Raises EIdException "Uneven size in DecodeToStream." when the length is not a multiple
    // of 4.
    static std::string Decode(const std::string& text);
};
