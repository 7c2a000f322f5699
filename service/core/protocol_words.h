// The words of the network UPS protocol's lines, for the server and the
// secondary alike. A line arrives without its end (the shell splits at LF and
// drops a CR before it) as bytes that may hold anything, NUL included.
//
// Words are separated by spaces or tabs. Double quotes group a word that holds
// spaces ("" is an empty word); a backslash takes the next byte as it is, so
// that \" is a quote and \\ a backslash, inside quotes or out.
#pragma once

#include <string>
#include <vector>

// The words of line; false (and *words undefined) for a line that ends inside
// quotes or right after a backslash.
bool SplitWords(const std::string& line, std::vector<std::string>* words);

// value in double quotes, with \" and \\ escaped, for a reply's value. A
// control byte becomes a space: a reply is one line, and no client unescapes
// anything but the quote and the backslash.
std::string QuotedWord(const std::string& value);

// word as it stands when it needs no quotes (printable ASCII, no space, quote
// or backslash, not empty), else QuotedWord(word): a name echoed back splits
// into the same word on the client's side.
std::string BareOrQuotedWord(const std::string& word);

// ASCII case-insensitive equality; any other byte must match exactly.
bool SameWord(const std::string& a, const std::string& b);
