// tsh_queue.cpp - the device work queue: a static ring of (field, device)
// entries. The dispatcher adds, the worker reads the head and removes it;
// the changes the agent refused are kept to be queued again at its start.
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

// Guarded by queue_lock; touched by the Q7 callback thread (producer), the
// device sync worker (consumer) and the agent callback thread (the requeue
// of refused changes when the agent starts).
std::mutex queue_lock;
QueueEntry ArrQueue[QUEUE_CAPACITY];
int head = -1;  // position of the oldest entry, -1 when empty
int tail = -1;  // position of the newest entry, -1 when empty
int count = 0;
bool stop_waiting = false;
// Bit c of refused[i]: the agent refused the last change of field class c
// of device i.
constexpr int DEVICES = 256;
uint8_t refused[DEVICES];
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

namespace {
// Position of the new entry, -1 when the ring is full.
int add_locked(const char *field, int32_t index)
{
    if (count == QUEUE_CAPACITY)
        return -1;
    if (count == 0)
        head = tail = 0;
    else
        tail = (tail + 1) % QUEUE_CAPACITY;
    QueueEntry &e = ArrQueue[tail];
    std::snprintf(e.field, sizeof e.field, "%s", field ? field : "");
    e.index = index;
    e.begun = false;
    ++count;
    return tail;
}

bool pending_locked(int32_t index, int cls)
{
    for (int n = 0, p = head; n < count; ++n, p = (p + 1) % QUEUE_CAPACITY) {
        const QueueEntry &e = ArrQueue[p];
        if (e.index == index && !e.begun && device_field_class(e.field) == cls)
            return true;
    }
    return false;
}

void log_added(const char *field, int32_t index, int pos)
{
    queue_cv.notify_one();
    TSH_LOG(TSH_INFO, "(TelvaSoT) - Enqueue New device index : %d, field : %s at Queue pos = %d\n",
            index, field ? field : "", pos);
}
}  // namespace

int Enqueue(const char *field, int32_t index)
{
    int pos;
    {
        std::lock_guard<std::mutex> g(queue_lock);
        pos = add_locked(field, index);
    }
    if (pos < 0)
        return 0;
    log_added(field, index, pos);
    return 1;
}

int QueueChange(const char *field, int32_t index)
{
    int pos;
    {
        std::lock_guard<std::mutex> g(queue_lock);
        if (pending_locked(index, device_field_class(field)))
            return 0;
        pos = add_locked(field, index);
    }
    if (pos < 0)
        return -1;
    log_added(field, index, pos);
    return 1;
}

void NoteRefused(const char *field, int32_t index, bool was_refused)
{
    const int cls = device_field_class(field);
    if (cls < 0 || index < 0 || index >= DEVICES)
        return;
    std::lock_guard<std::mutex> g(queue_lock);
    if (was_refused)
        refused[index] |= static_cast<uint8_t>(1u << cls);
    else
        refused[index] &= static_cast<uint8_t>(~(1u << cls));
}

int RequeueRefused()
{
    uint8_t todo[DEVICES];
    {
        std::lock_guard<std::mutex> g(queue_lock);
        std::memcpy(todo, refused, sizeof todo);
    }
    int queued = 0;
    for (int32_t index = 0; index < DEVICES; ++index)
        for (int cls = 0; cls < static_cast<int>(std::size(device_fields)); ++cls)
            if (todo[index] & (1u << cls)) {
                const int rc = QueueChange(device_fields[cls].name.data(), index);
                if (rc < 0)
                    return queued;
                queued += rc;
            }
    return queued;
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
    std::lock_guard<std::mutex> g(queue_lock);
    return pending_locked(index, device_field_class(field));
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
