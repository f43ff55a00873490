// wait_until.h - tests wait on conditions with a deadline, never on sleeps.
#pragma once

#include <chrono>
#include <thread>

// Polls pred until it holds (true) or the deadline passes (false).
template <class Pred> bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
{
    for (auto end = std::chrono::steady_clock::now() + limit; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}
