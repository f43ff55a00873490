// tsh_queue.cpp - the device work queue: a static ring of (field, device)
// entries. The dispatcher adds, the worker reads the head and removes it.
// All state is guarded by queue_lock; the lock covers queue operations only,
// never a Q7 or agent call.
#include "tsh_queue.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "tsh_log.h"

namespace {
constexpr const char TSH_MODULE[] = "tsh_queue";

// Guarded by queue_lock; touched by the Q7 callback thread (producer) and
// the device sync worker (consumer).
std::mutex queue_lock;
QueueEntry ArrQueue[QUEUE_CAPACITY];
int head = -1;  // position of the oldest entry, -1 when empty
int tail = -1;  // position of the newest entry, -1 when empty
int count = 0;
bool stop_waiting = false;
std::condition_variable queue_cv;  // an entry was added, or the stop came

struct DeviceField {
    std::string_view name;
    bool prefix;  // any name beginning with it, else the name exactly
};
// As the worker tells its steps apart: the update flag by its prefix, the
// others exactly (a longer name would be queued and then send nothing).
constexpr DeviceField device_fields[] = {
    {"WEXSignatureUpdateStatus", true}, {"DisplayNameCustom", false}, {"Devicestate", false},
    {"AllowOrBlock", false}, {"DeviceCategory", false},
};
static_assert(std::size(device_fields) == FIELD_CATEGORY + 1, "one name per DeviceFieldClass, in its order");

void reset_locked()
{
    head = tail = -1;
    count = 0;
}
}  // namespace

int device_field_class(const char *field)
{
    if (!field)
        return -1;
    std::string_view f(field);
    for (int i = 0; i < static_cast<int>(std::size(device_fields)); ++i) {
        const DeviceField &d = device_fields[i];
        if ((d.prefix ? f.substr(0, d.name.size()) : f) == d.name)
            return i;
    }
    return -1;
}

void InitQueue()
{
    std::lock_guard<std::mutex> g(queue_lock);
    reset_locked();
}

void ClearQueue()
{
    InitQueue();
}

int isQueueEmpty()
{
    std::lock_guard<std::mutex> g(queue_lock);
    return count == 0;
}

int isQueueFull()
{
    std::lock_guard<std::mutex> g(queue_lock);
    return count == QUEUE_CAPACITY;
}

int Enqueue(const char *field, int32_t index)
{
    int pos;
    {
        std::lock_guard<std::mutex> g(queue_lock);
        if (count == QUEUE_CAPACITY)
            return 0;
        if (count == 0)
            head = tail = 0;
        else
            tail = (tail + 1) % QUEUE_CAPACITY;
        QueueEntry &e = ArrQueue[tail];
        std::snprintf(e.field, sizeof e.field, "%s", field ? field : "");
        e.index = index;
        e.begun = false;
        ++count;
        pos = tail;
    }
    queue_cv.notify_one();
    TSH_LOG(TSH_INFO, "(TelvaSoT) - Enqueue New device index : %d, field : %s at Queue pos = %d\n",
            index, field ? field : "", pos);
    return 1;
}

int Dequeue()
{
    int index, pos;
    {
        std::lock_guard<std::mutex> g(queue_lock);
        if (count == 0)
            return 0;
        index = ArrQueue[head].index;
        pos = head;
        if (--count == 0)
            reset_locked();
        else
            head = (head + 1) % QUEUE_CAPACITY;
    }
    TSH_LOG(TSH_INFO, "(TelvaSoT) - Dequeue device index : %d, at Queue pos = %d\n", index, pos);
    return 1;
}

int CheckIndexExist(int32_t index, const char *field)
{
    const int cls = device_field_class(field);
    std::lock_guard<std::mutex> g(queue_lock);
    for (int n = 0, p = head; n < count; ++n, p = (p + 1) % QUEUE_CAPACITY) {
        const QueueEntry &e = ArrQueue[p];
        if (e.index == index && !e.begun && device_field_class(e.field) == cls)
            return 1;
    }
    return 0;
}

int PeekHeadBegin(QueueEntry *out)
{
    std::lock_guard<std::mutex> g(queue_lock);
    if (count == 0 || !out)
        return 0;
    ArrQueue[head].begun = true;
    *out = ArrQueue[head];
    return 1;
}

int WaitQueueEntry()
{
    std::unique_lock<std::mutex> g(queue_lock);
    queue_cv.wait(g, [] { return count > 0 || stop_waiting; });
    return !stop_waiting;
}

void QueuePause(long us)
{
    std::unique_lock<std::mutex> g(queue_lock);
    queue_cv.wait_for(g, std::chrono::microseconds(us), [] { return stop_waiting; });
}

void StopQueueWait()
{
    {
        std::lock_guard<std::mutex> g(queue_lock);
        stop_waiting = true;
    }
    queue_cv.notify_all();
}
