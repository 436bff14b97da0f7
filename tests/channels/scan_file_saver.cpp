// Saves two different channel lists in turn, for ever, into the scan file of
// the device root in DMBTPEG_ROOT; prints "saving" once the first Save has
// finished. Its parent kills it at random moments and checks what is left.
#include <cstdio>

#include "tests/channels/saved_lists.h"

int main() {
    CChannelList lists[2];
    testchannels::FillList(lists[0], 0);
    testchannels::FillList(lists[1], 1);
    lists[0].Save();
    std::puts("saving");
    std::fflush(stdout);
    for (unsigned n = 1;; ++n) {
        lists[n % 2].Save();
    }
}
