// wait_until.h - tests wait on conditions with a deadline, never on sleeps.
#ifndef TSH_TEST_WAIT_UNTIL_H
#define TSH_TEST_WAIT_UNTIL_H

#include <chrono>
#include <thread>

// Polls pred until it holds (true) or the deadline passes (false).
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

#endif
