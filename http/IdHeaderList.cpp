#include "http/IdHeaderList.h"

#include "http/IdException.h"
#include "support/Text.h"

void TIdHeaderList::Insert(int i, const std::string& line) {
    lines_.insert(lines_.begin() + i, line);
}

void TIdHeaderList::Delete(int i) {
    lines_.erase(lines_.begin() + i);
}

std::string TIdHeaderList::Text() const {
    std::string out;
    for (const std::string& line : lines_)
        out.append(line).append("\r\n");
    return out;
}

void TIdHeaderList::AddText(const std::string& text) {
    for (std::string_view line : SplitLines(text))
        lines_.emplace_back(line);
}

std::string TIdHeaderList::NameOfLine(int i) const {
    if (i < 0 || i >= Count())
        return {};
    const std::string& line = lines_[static_cast<std::size_t>(i)];
    std::size_t colon = line.find(':');
    if (colon == std::string::npos)
        return {};
    std::string name = line.substr(0, colon);
    return MatchCase ? name : UpperCase(name);
}

int TIdHeaderList::FindName(const std::string& name) const {
    for (int i = 0; i < Count(); ++i) {
        const std::string& line = lines_[static_cast<std::size_t>(i)];
        std::size_t colon = line.find(':');
        if (colon != std::string::npos && SameText(std::string_view(line).substr(0, colon), name))
            return i;
    }
    return -1;
}

bool TIdHeaderList::IsContinuation(int i) const {
    if (i < 0 || i >= Count())
        return false;
    const std::string& line = lines_[static_cast<std::size_t>(i)];
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

std::string TIdHeaderList::ValueOfLine(int i) const {
    if (i < 0 || i >= Count())
        return {};
    const std::string& line = lines_[static_cast<std::size_t>(i)];
    std::size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
    if (Unfold)
        for (int next = i + 1; IsContinuation(next); ++next)
            value = std::string(Trim(value)) + " " +
                    std::string(Trim(lines_[static_cast<std::size_t>(next)]));
    return std::string(Trim(value));
}

std::string TIdHeaderList::GetValue(const std::string& name) const {
    return ValueOfLine(FindName(name));
}

void TIdHeaderList::SetValue(const std::string& name, const std::string& value) {
    int i = FindName(name);
    if (value.empty()) {
        if (i < 0)
            return;
        if (Fold)
            RemoveContinuations(i);
        Delete(i);
        return;
    }
    if (i < 0) {
        Add("");
        i = Count() - 1;
    }
    if (Fold) {
        RemoveContinuations(i);
        FoldInto(name + Separator + value, i);
    } else {
        Put(i, name + Separator + value);
    }
}

void TIdHeaderList::CollectValues(const std::string& name, std::vector<std::string>& values) const {
    for (int i = 0; i < Count(); ++i) {
        const std::string& line = lines_[static_cast<std::size_t>(i)];
        std::size_t colon = line.find(':');
        if (colon != std::string::npos && SameText(std::string_view(line).substr(0, colon), name))
            values.push_back(ValueOfLine(i));
    }
}

void TIdHeaderList::RemoveContinuations(int i) {
    while (IsContinuation(i + 1))
        Delete(i + 1);
}

std::vector<std::string> TIdHeaderList::FoldText(const std::string& line) const {
    const std::size_t width = FoldWidth > 0 ? static_cast<std::size_t>(FoldWidth) : line.size();
    auto isBreak = [](char c) { return c == ' ' || c == '\t' || c == ','; };
    std::vector<std::string> pieces;
    auto push = [&](std::string piece) {
        if (!pieces.empty())
            piece.insert(0, 1, ' '); // a continuation line starts with a space
        while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t'))
            piece.pop_back();
        pieces.push_back(std::move(piece));
    };
    std::size_t start = 0;
    for (;;) {
        const std::size_t prefix = pieces.empty() ? 0 : 1;
        if (line.size() - start + prefix <= width)
            break;
        // The last break outside double quotes that keeps the piece within the width; failing
        // that, the first one after it (a long word is never cut).
        std::size_t within = std::string::npos, beyond = std::string::npos;
        bool quoted = false;
        for (std::size_t k = start; k < line.size(); ++k) {
            if (line[k] == '"') {
                quoted = !quoted;
                continue;
            }
            if (quoted || !isBreak(line[k]) || k == start)
                continue;
            if (k - start + 1 + prefix <= width) {
                within = k;
            } else {
                beyond = k;
                break;
            }
        }
        std::size_t cut = within != std::string::npos ? within : beyond;
        if (cut == std::string::npos)
            break;
        push(line.substr(start, cut - start + 1));
        start = cut + 1;
        while (start < line.size() && (line[start] == ' ' || line[start] == '\t'))
            ++start;
    }
    push(line.substr(start));
    return pieces;
}

void TIdHeaderList::FoldInto(const std::string& line, int i) {
    std::vector<std::string> pieces = FoldText(line);
    Put(i, pieces.back());
    for (std::size_t k = 0; k + 1 < pieces.size(); ++k)
        Insert(i + static_cast<int>(k), pieces[k]);
}

namespace {
const char CodingTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char FillChar = '=';
} // namespace

std::string TIdEncoderMIME::Encode(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (n > 1)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (n > 2)
            v |= static_cast<unsigned char>(bytes[i + 2]);
        out += CodingTable[(v >> 18) & 63];
        out += CodingTable[(v >> 12) & 63];
        out += n > 1 ? CodingTable[(v >> 6) & 63] : FillChar;
        out += n > 2 ? CodingTable[v & 63] : FillChar;
    }
    return out;
}

std::string TIdEncoderMIME::EncodeCounted(const std::string& bytes, std::size_t count) {
    if (count % 3 != 0 || count > bytes.size())
        throw EIdException("Uneven size in Encode.");
    return Encode(bytes.substr(0, count));
}

std::string TIdDecoderMIME::Decode(const std::string& text) {
    if (text.size() % 4 != 0)
        throw EIdException("Uneven size in DecodeToStream.");
    auto value = [](char c) -> int {
        const char* at = std::char_traits<char>::find(CodingTable, 64, c);
        return at ? static_cast<int>(at - CodingTable) : -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + static_cast<std::size_t>(k)];
            if (c == FillChar) {
                v[k] = 0;
                ++pad;
                continue;
            }
            v[k] = value(c);
            if (v[k] < 0)
                v[k] = 0; // characters outside the table count as zero bits
        }
        unsigned bits = static_cast<unsigned>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        out += static_cast<char>(bits >> 16);
        if (pad < 2)
            out += static_cast<char>(bits >> 8);
        if (pad < 1)
            out += static_cast<char>(bits);
    }
    return out;
}
