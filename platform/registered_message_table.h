// The session's table of registered message names.
//
// One text file shared by every process on the bus (the runtime folder's
// "registered-messages"), so that a name gets one number in all of them, a
// process that starts later included, and different names get different
// numbers. Each line is "0xC123 NAME\n": the number in four upper-case hex
// digits, one space, the name in UTF-8 with bytes below 0x20 and '%' written
// as %XX. Names compare with ASCII letters case-blind. The first line of a
// name counts; a line whose number an earlier line holds counts for nothing.
// The file is read and appended under an exclusive flock and only grows: a
// new name takes RegisteredMessageNumber(name) or, when that is taken, the
// next free number upwards, 0xFFFF wrapping to 0xC000. A new table starts
// with the names of this system's own messages, so they keep their numbers
// whoever comes first. docs/bus.md describes the same for other programs.
#pragma once

#include <sys/types.h>

#include <bitset>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

class RegisteredMessageTable {
  public:
    // "<RuntimeDir()>/registered-messages".
    static std::string DefaultPath();

    // Uses the file at `path` from now on; an empty path uses none.
    void Open(std::string path);

    // The number the table gives `name` (1 to 255 units): the one recorded
    // for it, or the next free one, recorded now. 0 when all numbers are
    // taken; nullopt when the file cannot be used.
    std::optional<UINT> Register(std::u16string_view name);

  private:
    struct Fd;
    void Forget();
    // Reads what other processes appended since the last call; starts over
    // when the file was replaced.
    bool CatchUp(int fd);
    bool Append(int fd, UINT number, std::u16string_view name);
    UINT FreeNumber(std::u16string_view name) const;

    std::mutex m_mutex;
    std::string m_path;
    // What the file says, up to m_readUpTo.
    std::map<std::u16string, UINT> m_numbers;
    std::bitset<0x4000> m_taken;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    off_t m_readUpTo = 0;
    // A last line without its newline: a writer died in it.
    bool m_tornTail = false;
};

}  // namespace platform
