// What the builder says beyond the installer's own words: the fix for a line
// the installer refuses, the key, section or name that a misspelt word likely
// meant, and how Windows shows a manifest's bytes.
#pragma once

#include <string>
#include <vector>

namespace mkinst {

// How many characters to change, add or drop to make one text the other.
size_t EditDistance(const std::string& a, const std::string& b);

// The candidate nearest to `word` (case ignored) when it is near enough to be
// a misspelling of it; empty when none is.
std::string Nearest(const std::string& word, const std::vector<std::string>& candidates);

// "a", "a and b", "a, b and c".
std::string ListOf(const std::vector<std::string>& items);

// A line of [Features] or [Components] that reads as a misspelt key (a word,
// then "="): what to say about it; empty when it does not look like a key.
std::string FeatureKeyHint(const std::string& line);
std::string ComponentKeyHint(const std::string& line);

// For the name of a NAME= line in a section of names ([Variables],
// [Resources], [Shortcuts]): the section whose key it is ("[Features]" for
// "Feature"), when it is not also a variable the installer reads; empty
// otherwise.
std::string SectionOfKey(const std::string& name);

// The variables the installer itself reads from the manifest.
const std::vector<std::string>& InstallerVariables();

// What the advice on a refused line needs to know of the manifest.
struct RefusedLine {
  std::string text;                   // the line, trimmed
  bool at_end = false;                // the text ended there
  std::vector<std::string> features;  // the features named so far
};

// The installer's message for a line it refuses, followed by what to write
// instead.
std::string Advice(const std::string& message, const RefusedLine& line);

// Whether the text's bytes above 127 are all UTF-8 sequences (and there is
// one): a text saved in UTF-8, which the installer reads in the system code
// page.
bool ReadsAsUtf8(const std::string& text);

// How Windows shows the bytes of `text` in Windows-1252, the code page of
// Western systems, written in UTF-8 for the builder's messages.
std::string ShownByWindows(const std::string& text);

}  // namespace mkinst
