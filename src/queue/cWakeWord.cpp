#include "queue/cWakeWord.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the futex word is a plain 32-bit word");

uint32_t* futexWord(std::atomic<uint32_t>& word)
{
    return reinterpret_cast<uint32_t*>(&word);
}

} // namespace

int cWakeWord::waitWhile(uint32_t seen, const timespec* deadline)
{
    long result = syscall(SYS_futex, futexWord(mWord), FUTEX_WAIT_BITSET_PRIVATE, seen, deadline, nullptr,
                          FUTEX_BITSET_MATCH_ANY);
    if (result == 0 || errno == EAGAIN || errno == EINTR)
        return 0;
    return errno;
}

void cWakeWord::advanceAndWakeOne()
{
    mWord.fetch_add(1);
    syscall(SYS_futex, futexWord(mWord), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
