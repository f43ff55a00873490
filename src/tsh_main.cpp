// tsh_main.cpp - main: the start-up order, the wait, the signals and the one
// teardown. SIGUSR1 and SIGUSR2 are blocked in every thread and taken by the
// signal thread alone; the teardown always runs on the main thread.
#include "tsh_main.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <pthread.h>
#include <semaphore.h>
#include <string_view>

#include "q7dynlog.h"
#include "sabroker.h"
#include "tsh_agent.h"
#include "tsh_daemon.h"
#include "tsh_dal.h"
#include "tsh_get_dalfld.h"
#include "tsh_hooks.h"
#include "tsh_log.h"
#include "tsh_queue.h"
#include "tsh_sot.h"
#include "wexlib.h"

// Read by the logging library; the daemon itself writes only the name.
extern "C" {
__attribute__((visibility("default"))) int __log_level = 5;
__attribute__((visibility("default"))) int __log_to_console = 0;
__attribute__((visibility("default"))) int __log_to_file = 0;
__attribute__((visibility("default"))) char __log_file_name[32];
}

namespace {
constexpr const char TSH_MODULE[] = "tsh_main";
constexpr const char PID_BASE[] = "/tmp/TeSvcHdlr";
constexpr const char VERSION[] = "1.2.1";

// Set by the teardown (main thread) before it sends the signal thread its
// stop signal; a signal of that number from outside finds it unset.
std::atomic<bool> sig_thread_ending{false};

// Main thread only (the signal thread posts shutdown_sem and reads nothing
// else): what start-up has set up so far, so that the teardown releases
// each thing once and nothing that was not there.
sem_t shutdown_sem;
int lfd = -1;
struct {
    bool sem, dal, dynlog, wex, agent, sig_thread, check_thread, sot_worker;
} up;
pthread_t sig_thread, check_thread, sot_worker;

// The signal thread's own stop request, sent by the teardown.
int stop_signal()
{
    return SIGRTMIN;
}

void pid_path(char (&path)[64])
{
    std::snprintf(path, sizeof path, "%s.pid", PID_BASE);
}

// Agent calls in flight (a hung agent, the retry loop) fail at once instead
// of holding the main or the Q7 thread for their timeout. Repeated until the
// teardown begins: a thread that was just about to start a call when the
// stop came would otherwise wait for that call's whole timeout.
void end_agent_calls_until_teardown()
{
    for (;;) {
        sa_broker_uninit();
        if (sleep_until_teardown(50))
            return;
    }
}

void *signal_thread(void *)
{
    pthread_setname_np(pthread_self(), "tsh-signal");
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    sigaddset(&set, stop_signal());
    for (;;) {
        int sig = sigwaitinfo(&set, nullptr);
        if (sig < 0)
            continue;  // EINTR from a stop of a debugger, nothing else
        if (sig == stop_signal()) {
            if (sig_thread_ending)
                return nullptr;
            continue;
        }
        if (sig == SIGUSR1) {
            TSH_LOG(TSH_INFO, "sig_usr1 handler.\n");
            request_stop();
            sem_post(&shutdown_sem);
            end_agent_calls_until_teardown();
        } else if (sig == SIGUSR2) {
            TSH_LOG(TSH_INFO, "sig_usr2 handler.\n");
            signal_user2_handler();
        }
    }
}

void stop_signal_thread()
{
    if (!up.sig_thread)
        return;
    up.sig_thread = false;
    sig_thread_ending = true;
    pthread_kill(sig_thread, stop_signal());
    pthread_join(sig_thread, nullptr);
}

// Releases one thing start-up set up, once.
void release(bool &held, void (*fn)())
{
    if (held) {
        held = false;
        fn();
    }
}

// After the broker library: the worker's calls in flight have failed.
void stop_workers()
{
    wake_sleepers();
    StopQueueWait();
    if (up.check_thread) {
        up.check_thread = false;
        pthread_join(check_thread, nullptr);
    }
    if (up.sot_worker) {
        up.sot_worker = false;
        pthread_join(sot_worker, nullptr);
    }
}

void release_pid_file(const char *path)
{
    if (lfd >= 0) {
        unlock_process(path, lfd);
        lfd = -1;
    }
}

[[noreturn]] void fatal(const char *logtext, const char *label, const char *errtext)
{
    TSH_LOG(TSH_ERROR, "%s", logtext);
    good_bye(label);
    if (errtext)
        std::fputs(errtext, stderr);
    std::exit(1);
}

// A stop asked for during start-up: the orderly teardown, exit 0.
void stop_if_requested()
{
    if (!stop_was_requested())
        return;
    good_bye("SIG_EXIT");
    std::exit(0);
}

}  // namespace

int setup_signal_handlers()
{
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (sigaction(SIGPIPE, &sa, nullptr) != 0)
        return -1;
    if (pthread_create(&sig_thread, nullptr, signal_thread, nullptr) != 0)
        return -1;
    up.sig_thread = true;
    return 0;
}

int signal_user2_handler()
{
    char value[16] = {};
    int rc = q7_get_enum(dal_get_handle(), T_TELVA_STATUS, 0, "protectionStatus", value, sizeof value);
    log_q7_error(rc);
    std::printf("protectionStatus :%s\n", value);
    std::fflush(stdout);
    return rc;
}

void good_bye(const char *label)
{
    // The flag first: from here on handlers, callbacks and retries return.
    begin_teardown();
    // The signal thread reads the Q7 handle for SIGUSR2; it ends before the
    // handle does.
    stop_signal_thread();
    TSH_LOG(TSH_NOTICE, "Bye Bye.....\n");
    char path[64];
    pid_path(path);
    const std::string_view l(label ? label : "");

    if (l == "LOCK_PROCESS") {
        TSH_LOG(TSH_NOTICE, "Exit from LOCK_PROCESS\n");
    } else if (l == "SIG_HDLR") {
        TSH_LOG(TSH_NOTICE, "Exit from SIG_HDLR\n");
        release_pid_file(path);
    } else if (l == "DAL_INIT" || l == "GET_INFO") {
        release(up.dal, dal_destroy);
        release(up.wex, wex_uninit);
        release(up.dynlog, dynlog_lib_uninit);
        release_pid_file(path);
    } else if (l == "TV_SUBSCRIBE" || l == "SAA_VERSION_INFO" || l == "SIG_EXIT") {
        // The broker library first: it fails calls in flight at once, so the
        // threads that make them can be stopped before the connection goes.
        release(up.agent, agent_release);
        test_point(TestPoint::AgentReleased);
        stop_workers();
        release(up.dal, dal_destroy);
        // Its own Q7 connection would outlive ours and still run at exit.
        release(up.wex, wex_uninit);
        release(up.dynlog, dynlog_lib_uninit);
        release_pid_file(path);
    } else if (l == "WEX_INIT") {
        release(up.dal, dal_destroy);
        release_pid_file(path);
        release(up.wex, wex_uninit);
        release(up.dynlog, dynlog_lib_uninit);
    }
    if (up.sem) {
        up.sem = false;
        sem_destroy(&shutdown_sem);
    }
}

int main(int argc, char **argv)
{
    hold_standard_streams();
    // Before any library can start a thread: threads inherit this mask, so
    // only the signal thread ever takes these signals.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGUSR2);
    sigaddset(&block, stop_signal());
    pthread_sigmask(SIG_BLOCK, &block, nullptr);

    if (argc != 1) {
        TSH_LOG(TSH_ERROR, "Cannot parse args/load needed variables from cli.\n");
        std::fputs("(TelvaSoT) - Can not parse args. Input valid data from cli\n", stderr);
        return -1;
    }
    set_binary_name(argv[0]);
    json_fault_init();

    char path[64];
    pid_path(path);
    lfd = lock_process(path);
    if (lfd == -1)
        fatal("failed to lock the pid file.\n", "LOCK_PROCESS", "(TelvaSoT) - failed to lock the pid file.\n");
    TSH_LOG(TSH_NOTICE, "TeSvcHdlr locked the pid file.\n");

    // The semaphore before the signal thread, which posts it.
    sem_init(&shutdown_sem, 0, 0);
    up.sem = true;
    if (setup_signal_handlers() == -1)
        fatal("Failed to setup signal handers.\n", "SIG_HDLR", "(TelvaSoT) - Failed to setup signal handers.\n");
    stop_if_requested();

    if (dal_init() != 0)
        fatal("Couldn't init Q7! is Q7 running?\n", "DAL_INIT", "(TelvaSoT) - Couldn't init Q7! is Q7 running?\n");
    up.dal = true;
    stop_if_requested();

    if (dynlog_lib_init() != 0)
        fatal("(TelvaSoT) - Couldn't init dynamic log library?\n", "DAL_INIT",
              "(TelvaSoT) - Couldn't init dynamic log library?\n");
    up.dynlog = true;
    set_log_level(0, "Tsh", __exec_binary_name);
    TSH_LOG(TSH_INFO, "Starting TSH Version Id is %s\n", VERSION);

    TSH_LOG(TSH_INFO, "(TelvaSoT) - Initiliazing WEX lib\n");
    if (wex_init() != 0)
        fatal("(TelvaSoT) - WEX Library Initialization failed!", "WEX_INIT", nullptr);
    up.wex = true;
    stop_if_requested();

    int info_rc;
    {
        std::lock_guard<std::mutex> g(tv_lock);
        info_rc = get_q7_info();
    }
    if (info_rc != 0)
        fatal("Failed to get info\n", "GET_INFO", nullptr);
    stop_if_requested();

    up.agent = true;
    if (SARetryLogic() == 0)
        TSH_LOG(TSH_INFO, "Retry Logic called successfully\n");
    stop_if_requested();

    // Before the subscriptions: the device changes they deliver from now on
    // are kept for the worker.
    InitQueue();
    if (tv_subscribe() != 0) {
        stop_if_requested();
        TSH_LOG(TSH_ERROR, "Failed to subscribe table! Are we init'ing before SA?\n");
        good_bye("TV_SUBSCRIBE");
        std::exit(1);
    }
    stop_if_requested();

    if (set_module_version_detail("TSHVersion", VERSION) != 0)
        TSH_LOG(TSH_ERROR, "Failed to fetch TSH Module Version \n");
    TSH_LOG(TSH_INFO, "!! set_module_version_detail() is called at boot time !!\n");
    stop_if_requested();

    // A stop cuts the agent call short: no failure of the stage.
    if (get_saaVersionInfo() != 0) {
        stop_if_requested();
        TSH_LOG(TSH_ERROR, "Failed to get SA Agent Version \n");
        good_bye("SAA_VERSION_INFO");
        TSH_LOG(TSH_INFO, "!! get_version_info() is called at boot time !!\n");
        std::exit(1);
    }
    TSH_LOG(TSH_INFO, "!! get_version_info() is called at boot time !!\n");
    stop_if_requested();

    TSH_LOG(TSH_INFO, "(TelvaSoT) - Queue for TelvaSoT Initiliazed\n");

    up.check_thread = pthread_create(&check_thread, nullptr, threadproc, nullptr) == 0;
    up.sot_worker = pthread_create(&sot_worker, nullptr, TelvaSoTHandler, nullptr) == 0;

    if (saagent_started() == 0)
        TSH_LOG(TSH_INFO, "!!!![TSH]:(%s)- Telva SOT for online devices successfull at router reboot !!!!\n", "main");
    else
        TSH_LOG(TSH_ERROR, "!!!![TSH]:(%s)- Telva SOT for online devices unsuccessfull at router reboot!!!!\n",
                "main");
    stop_if_requested();

    if (get_saagent_status_report() == 0)
        TSH_LOG(TSH_INFO, "[status_report]:(%s) sa_broker_get_status_report: A brief report showing the SAAgent status \n",
                "main");
    else
        TSH_LOG(TSH_ERROR, "[status_report]:(%s) Failed to get the SAAgent status report \n", "main");

    TSH_LOG(TSH_INFO, "[DAL_TSH] : Sending router info to SA cloud at router reboot\n");
    pushRouterInfo(RI_STARTUP);
    stop_if_requested();
    json_fault_arm();

    while (!tsh_shutting_down()) {
        if (sem_wait(&shutdown_sem) != 0 && errno != EINTR)
            break;
    }
    good_bye("SIG_EXIT");
    return 0;
}
