#include "protocol_words.h"

namespace {

bool IsSeparator(char c)
{
    return c == ' ' || c == '\t';
}

bool IsControl(char c)
{
    unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<std::string>* words)
{
    words->clear();
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\') {
            if (i + 1 == line.size()) {
                return false;
            }
            word.push_back(line[++i]);
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (IsSeparator(c) && !quoted) {
            if (inWord) {
                words->push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (quoted) {
        return false;
    }
    if (inWord) {
        words->push_back(word);
    }
    return true;
}

std::string QuotedWord(const std::string& value)
{
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') {
            quoted.push_back('\\');
        }
        quoted.push_back(IsControl(c) ? ' ' : c);
    }
    quoted.push_back('"');
    return quoted;
}

std::string BareOrQuotedWord(const std::string& word)
{
    bool bare = !word.empty();
    for (char c : word) {
        unsigned char byte = static_cast<unsigned char>(c);
        bare = bare && byte > 0x20 && byte < 0x7F && c != '"' && c != '\\';
    }
    return bare ? word : QuotedWord(word);
}

bool SameWord(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}
