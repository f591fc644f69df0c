#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The bytes of a whole file (of at most 2 GiB); false when it cannot be opened or read.
bool ReadWholeFile(const std::wstring& path, std::string& bytes);

// An INI file read once into a table that answers lookups exactly as the system's profile reader
// (GetPrivateProfileStringW with an empty default and a 32768-character buffer) answers them for the same file,
// in time independent of the file's size. That reader keeps a file in a list and searches it per lookup, which
// makes reading every key of a long manifest quadratic.
//
// The reader's rules (as Wine's reader follows them; see ini_file_test.cpp, which holds the table against it),
// which the table follows:
// - text: UTF-16 LE or BE with their byte order mark, UTF-8 with its mark, otherwise the ANSI code page (also
//   when the bytes happen to be valid UTF-8);
// - lines end at CR or LF; white space (ASCII blanks and control spaces, and ^Z) around a line is ignored;
// - "[name]" starts a section (the text up to the last "]", blanks around it ignored); a "[" line without "]"
//   is an ordinary line; lines before the first header form a section with an empty name;
// - other lines are "key=value" (white space around the key and before the value ignored) or a key alone;
//   nothing marks comments, a ";" line is just a key nobody asks for;
// - names are compared ignoring the case of ASCII letters; only the first section of a name is searched, and in
//   it the first key of a name wins, even a key alone that has no value;
// - names and values end at an embedded NUL;
// - a value enclosed in a pair of equal quotes (' or ") loses them; values are cut to 32767 characters.
class IniFile {
public:
    // Decodes the file's bytes as the profile reader does (see above).
    static std::wstring DecodeText(std::string_view bytes);

    // Builds the table over decoded text, which the table keeps.
    static IniFile FromText(std::wstring text);

    // Reads and decodes a file; false when it cannot be read (the table is then empty, as the system reader
    // answers for a missing file).
    bool Load(const std::wstring& path);

    // What GetPrivateProfileStringW(section, key, L"", buffer, 32768, file) leaves in its buffer. The view points
    // into the table and stays valid until the table is loaded again or destroyed.
    std::wstring_view Get(std::wstring_view section, std::wstring_view key) const;

private:
    // Names and values are spans of text_; nothing is copied per line.
    struct Span {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
    };
    struct Slot {
        std::uint32_t section = 0;  // index into sections_ + 1; 0 marks an empty slot
        std::uint32_t hash = 0;
        Span key;
        Span value;
    };

    void Parse();
    std::wstring_view View(Span span) const { return std::wstring_view(text_).substr(span.offset, span.length); }
    std::uint32_t FindSection(const std::wstring& foldedName) const;
    // The slot holding this key of this section, or the empty slot where it would go.
    std::size_t SlotIndex(std::uint32_t section, std::wstring_view key, std::uint32_t hash) const;
    void Insert(std::uint32_t section, Span key, Span value);

    std::wstring text_;
    // The seeded hash of the keys, so section names cannot be chosen to collide either.
    struct SectionHash {
        std::size_t operator()(const std::wstring& foldedName) const;
    };
    std::unordered_map<std::wstring, std::uint32_t, SectionHash> sections_;  // folded name -> first occurrence
    std::vector<Slot> slots_;  // open addressing, size a power of two, at most half full, grown per key
    std::size_t used_ = 0;
};
