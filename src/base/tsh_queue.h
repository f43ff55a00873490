// tsh_queue.h - the device work queue between the change dispatcher (the
// one producer, on the Q7 callback thread) and the device sync worker (the
// one consumer).
#ifndef TSH_QUEUE_H
#define TSH_QUEUE_H

#include <cstdint>

// One change of one device field; `begun` once the worker has started on it.
struct QueueEntry {
    char field[64];
    int32_t index;
    bool begun;
};

// Room for every (device, device field) pair at once, plus one, so a
// burst over all devices never drops a change.
constexpr int QUEUE_CAPACITY = 5 * 256 + 1;

void InitQueue();
void ClearQueue();
int isQueueEmpty();
int isQueueFull();
// 1 when added, 0 when the ring is full.
int Enqueue(const char *field, int32_t index);
// 1 when the oldest entry was removed, 0 when the queue was empty.
int Dequeue();
// 1 when an entry for this device and the same device field is queued and
// the worker has not begun it: a new one would carry nothing new.
int CheckIndexExist(int32_t index, const char *field);
// The pending check and the add as one step: 1 queued, 0 when the same
// change is pending, -1 when the ring is full.
int QueueChange(const char *field, int32_t index);
// The worker's outcome of an entry: a refused change is remembered until
// the same field of the device goes through.
void NoteRefused(const char *field, int32_t index, bool refused);
// Queues every remembered refusal again (the agent has started); how many.
int RequeueRefused();
// Copies the oldest entry and marks it begun; 0 when the queue is empty.
// The entry stays queued until Dequeue.
int PeekHeadBegin(QueueEntry *out);

// The worker's waits. WaitQueueEntry blocks until an entry is queued (1)
// or StopQueueWait was called (0); QueuePause sleeps up to `us` unless
// stopped. StopQueueWait ends both for good.
int WaitQueueEntry();
void QueuePause(long us);
void StopQueueWait();

// Which of the five device fields a field name is, -1 for none: the one
// rule of the dispatcher, the pending check and the worker's steps.
enum DeviceFieldClass { FIELD_SIGNATURE, FIELD_DISPLAY_NAME, FIELD_STATE, FIELD_BLOCK, FIELD_CATEGORY };
int device_field_class(const char *field);

#endif
