// One registry hive in memory, and its file format.
//
// A hive file is UTF-8 text, one item a line, each line ending in "\n":
//
//   dmbtpeg-hive 1
//   dword "Version" 3
//   key "SOFTWARE"
//   key "SOFTWARE\\Microsoft"
//   sz "Name" "Tuner \"A\"\tfirst"
//   end
//
// The first line names the format. `key` opens a key by its full path from
// the hive's root, written as a quoted string whose `\\` escapes are the path
// separators; a key's parent must be opened earlier and no key twice. The
// values that follow belong to that key (those before the first `key` line
// to the root): `dword NAME NUMBER` with a decimal number below 2^32, or
// `sz NAME STRING`. Value names are unique within a key, compared without
// letter case, as key names are. The last line is `end`, so that a cut file
// is told from a whole one.
//
// Quoted strings escape `\` `"` as `\\` `\"`, line feed, carriage return and
// tab as `\n` `\r` `\t`, and other control characters as `\xHH`; NUL never
// occurs. Key names are 1 to 255 characters long and hold no `\`; keys nest
// at most kMaxKeyDepth deep.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "platform/types.h"

namespace platform {

inline constexpr DWORD kHiveValueDword = 4;
inline constexpr DWORD kHiveValueString = 1;
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxKeyDepth = 512;

struct HiveValue {
    std::u16string name;
    DWORD type = kHiveValueDword;
    DWORD number = 0;
    std::u16string text;
};

struct HiveKey {
    std::vector<HiveValue> values;

    HiveValue* FindValue(std::u16string_view name);
    const HiveValue* FindValue(std::u16string_view name) const;
};

struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        return CompareNoCase(a, b) < 0;
    }
};

// Keys by full path ("SOFTWARE\Microsoft"; the root is ""). Every key's parent
// is present, and a key's descendants are contiguous in the map's order.
class Hive {
  public:
    using Keys = std::map<std::u16string, HiveKey, NoCaseLess>;

    Hive();

    HiveKey* Find(std::u16string_view path);
    const HiveKey* Find(std::u16string_view path) const;
    // Creates the key and its missing parents, spelling existing parents as
    // they are stored. Returns whether the key itself was new.
    bool Create(std::u16string_view path);
    // Removes the key's values and subkeys, keeping the key.
    void Empty(std::u16string_view path);
    // Removes the key with everything below it; the root is only emptied.
    void DeleteTree(std::u16string_view path);
    const Keys& AllKeys() const { return m_keys; }

  private:
    Keys m_keys;
};

// Splits a key path on `\`, skipping empty parts. Nullopt when a name is too
// long or the path too deep.
std::optional<std::vector<std::u16string>> SplitKeyPath(std::u16string_view path);

struct HiveParseResult {
    std::optional<Hive> hive;
    std::string error;     // what was wrong, when hive is empty
    std::size_t line = 0;  // 1-based line of the error
};

// Parses a hive file. Never throws or crashes on any input; anything that
// does not follow the format is an error.
HiveParseResult ParseHive(std::string_view text);
std::string SerializeHive(const Hive& hive);

}  // namespace platform
