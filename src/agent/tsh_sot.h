// tsh_sot.h - device synchronisation with the agent: the per-field steps of
// the device sync worker and the resync of all online devices.
#ifndef TSH_SOT_H
#define TSH_SOT_H

#include <pthread.h>

#include <cstdint>

#include "kjson.h"
#include "tsh_get_dalfld.h"

static_assert(sizeof(deviceinfo) == 132 && sizeof(deviceonline) == 134 && sizeof(SatelliteMac) == 18,
              "record layouts shared with the JSON utility library");

// Serialises what reaches the agent about devices: held by the worker for
// one entry and its removal from the queue, and by a resync for its walk
// and its send. No other lock is taken while it is held.
extern pthread_mutex_t mutex_TelvaSoT;

// A pthread mutex held for a scope; unlock() releases it early and gives
// the error number.
class MutexHold {
  public:
    explicit MutexHold(pthread_mutex_t &m) : m_(m), rc_(pthread_mutex_lock(&m)) {}
    ~MutexHold() { unlock(); }
    MutexHold(const MutexHold &) = delete;
    MutexHold &operator=(const MutexHold &) = delete;
    int error() const { return rc_; }
    int unlock()
    {
        if (rc_ != 0 || released_)
            return 0;
        released_ = true;
        return pthread_mutex_unlock(&m_);
    }

  private:
    pthread_mutex_t &m_;
    int rc_;
    bool released_ = false;
};

// One queue entry: 0 when every send it made was accepted, 1 otherwise.
// progress: how far the record's reads got (a step whose fields were not
// read sends nothing and fails).
int do_TelvaSoT(SoTDeviceInfo *info, SoTDeviceId *id, const char *field, int index,
                RecordProgress progress = REC_ALL);
int DevState(SoTDeviceInfo *info);
// The object stays the caller's; NULL counts as a failed send.
int telva_sot_status_for_devices(cJSON *object);
int remove_satellite(const char *mac, const char *category);
// The resync: 0 when the agent accepted the online list.
int saagent_started();

// The discovery import, whichever path runs it: 0 when a non-empty list was
// processed. Imports never overlap (a lock of the import's own, taken after
// mutex_SoTResp or mutex_all_cb, never before).
int devices_discoveredList();
int processSotEvent(const char *event);

// Serialises runs of _typeOfChange (agent callback thread).
extern pthread_mutex_t mutex_SoTResp;

#endif
