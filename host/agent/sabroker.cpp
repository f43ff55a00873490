/*
 * sabroker.cpp - libsabroker.so: the sa_broker_* API (sabroker.h) over the
 * agent's line protocol (proto.h). Each successful sa_broker_init creates
 * one Session (sabroker_session.h) with its link thread and callback pool;
 * sa_broker_uninit stops it. The API is called from any thread, callbacks
 * included; no exception leaves it.
 */
#include "sabroker_session.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>

#define SABROKER_API extern "C" __attribute__((visibility("default")))

namespace {

using sabroker::Session;
using sabroker::Subscriber;
using sabroker::Text;
using sabroker::t_callback_thread;

constexpr int kDefaultTimeoutMs = 5000;
constexpr int kDefaultCallbackThreads = 3;

// Process-wide library state. life_mu serialises init against uninit; mu
// guards the rest and is held only for short swaps. Touched by every thread
// that calls the API.
struct Library {
    std::mutex life_mu;
    std::mutex mu;
    std::condition_variable stopped;     // stopping fell to 0
    std::shared_ptr<Session> session;
    std::shared_ptr<Session> starting;   // an init in progress, for uninit to abort
    // Counts uninits, so that an init that began before one gives up even
    // when the uninit came before the init had published `starting`.
    uint64_t uninits = 0;
    int stopping = 0;                    // sessions being stopped by uninits
};

// Never destroyed: a detached callback thread may still use it at exit.
Library &lib()
{
    static Library *l = new Library;
    return *l;
}

std::shared_ptr<Session> current()
{
    std::lock_guard lk(lib().mu);
    return lib().session;
}

// A positive number of the environment up to max, or fallback.
int env_number(const char *name, int fallback, long max)
{
    const char *t = getenv(name);
    if (!t || !*t)
        return fallback;
    char *end = nullptr;
    long v = strtol(t, &end, 10);
    return (*end || v <= 0 || v > max) ? fallback : static_cast<int>(v);
}

// Runs f; no exception leaves the C API, but a thread cancellation's unwind
// must go on through.
template <class F>
int guarded(F f)
{
    try {
        return f();
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        return -1;
    }
}

int simple_call(const char *name, const char *arg = nullptr, Text *text = nullptr, int sub_event = 0,
                Subscriber sub = {})
{
    return guarded([&] {
        auto s = current();
        return s ? (s->call(name, arg, text, sub_event, sub) == 0 ? 0 : 1) : -1;
    });
}

int text_call(const char *name, const char *arg, char **out)
{
    if (!out)
        return -1;
    *out = nullptr;
    Text text;
    int r = simple_call(name, arg, &text);
    if (r != 0 || !text)
        return r;
    *out = strdup(text->c_str());
    return *out ? 0 : -1;
}

int json_call(const char *name, const char *json)
{
    return json ? simple_call(name, json) : -1;
}

} // namespace

SABROKER_API int sa_broker_init(void)
{
    return guarded([] {
        Library &l = lib();
        uint64_t gen;
        {
            std::lock_guard lk(l.mu);
            gen = l.uninits;
        }
        std::lock_guard life(l.life_mu);
        if (auto s = current())
            return s->link_up() ? 0 : -1;
        auto s = std::make_shared<Session>(saproto::socket_from_env(),
                                           env_number("SA_CALL_TIMEOUT_MS", kDefaultTimeoutMs, 3600000),
                                           env_number("SA_BROKER_CALLBACK_THREADS", kDefaultCallbackThreads, 64));
        {
            std::lock_guard lk(l.mu);
            if (l.uninits != gen)
                return -1;  // an uninit came while this init waited for its turn
            l.starting = s;
        }
        bool ok = false;
        try {
            ok = s->start();
        } catch (...) {
            std::lock_guard lk(l.mu);
            l.starting.reset();
            throw;
        }
        {
            std::lock_guard lk(l.mu);
            l.starting.reset();
            if (ok)
                l.session = s;
        }
        if (ok)
            return 0;
        s->stop();
        return -1;
    });
}

SABROKER_API void sa_broker_uninit(void)
{
    guarded([] {
        Library &l = lib();
        {
            std::lock_guard lk(l.mu);
            ++l.uninits;
            if (l.starting)
                l.starting->abort();
        }
        std::shared_ptr<Session> s;
        {
            std::lock_guard life(l.life_mu);
            std::lock_guard lk(l.mu);
            s = std::move(l.session);
            if (s)
                ++l.stopping;
        }
        if (s) {
            struct Done {
                Library &l;
                ~Done()
                {
                    std::lock_guard lk(l.mu);
                    if (--l.stopping == 0)
                        l.stopped.notify_all();
                }
            } done{l};
            s->stop();
        }
        // An uninit racing another returns only once that one's callbacks
        // are done too; a callback cannot wait, its own thread may be
        // the one being joined.
        if (!t_callback_thread) {
            std::unique_lock lk(l.mu);
            l.stopped.wait(lk, [&] { return l.stopping == 0; });
        }
        return 0;
    });
}

SABROKER_API int sa_broker_subscribe(int event, sa_broker_event_cb cb, void *arg, int flags)
{
    (void)flags;
    if (!cb || event <= 0)
        return -1;
    return simple_call("subscribe", nullptr, nullptr, event, Subscriber{cb, arg});
}

SABROKER_API int sa_broker_enable(void) { return simple_call("enable"); }
SABROKER_API int sa_broker_disable(void) { return simple_call("disable"); }

SABROKER_API int sa_broker_va_status(void *reserved)
{
    (void)reserved;
    Text text;
    return simple_call("va_status", nullptr, &text) == 0 && text == "1" ? 1 : 0;
}

SABROKER_API int sa_broker_get_version_info(char **out) { return text_call("get_version_info", nullptr, out); }
SABROKER_API int sa_broker_get_status_report(char **out) { return text_call("get_status_report", nullptr, out); }

SABROKER_API int sa_broker_get_devices(const char *filter, char **out)
{
    return text_call("get_devices", filter ? filter : "[]", out);
}

SABROKER_API int sa_broker_set_router_info(const char *json) { return json_call("set_router_info", json); }
SABROKER_API int sa_broker_set_device_info(const char *json) { return json_call("set_device_info", json); }

SABROKER_API int sa_broker_set_device_online_status(const char *json)
{
    return json_call("set_device_online_status", json);
}

SABROKER_API int sa_broker_remove_satellite(const char *json) { return json_call("remove_satellite", json); }
