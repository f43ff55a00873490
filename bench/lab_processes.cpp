// lab_processes.cpp - children with their streams in files: the daemon,
// the probes beside it, a Q7 server and the agent.
#include "lab_processes.h"

#include "agent_control.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

extern char **environ;

namespace bench {

using namespace std::chrono_literals;

pid_t spawn_child(const std::vector<std::string> &argv, const ChildOutput &io, const std::vector<std::string> &env,
                  const std::string &what)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const int mode = O_WRONLY | O_CREAT | (io.append ? O_APPEND : O_TRUNC);  // files as a shell makes them
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, io.out.c_str(), mode, 0644);
    if (io.err.empty())
        posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, io.err.c_str(), mode, 0644);
    if (io.close_others)
        posix_spawn_file_actions_addclosefrom_np(&fa, STDERR_FILENO + 1);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // One entry per name: an emulator reads the last of two, a program the first.
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    const auto overridden = [&](const char *entry) {
        for (const std::string &e : env)
            if (strncmp(entry, e.c_str(), e.find('=') + 1) == 0)
                return true;
        return false;
    };
    for (char **e = environ; *e; ++e)
        if (!overridden(*e))
            envp.push_back(*e);
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        fail("cannot start " + what + argv[0] + ": " + strerror(rc));
    return pid;
}

int run_child(const std::vector<std::string> &argv, const ChildOutput &io)
{
    const pid_t pid = spawn_child(argv, io);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

Daemon::Daemon(const std::string &path, const std::string &log, const std::string &launcher,
               const std::vector<std::string> &env)
    : log_(log)
{
    std::vector<std::string> argv;
    if (!launcher.empty())
        argv.push_back(launcher);
    argv.push_back(path);
    pid_ = spawn_child(argv, {log, "", false, false}, env, "the daemon ");
}

Daemon::Daemon(const std::string &path, const ChildOutput &io) : log_(io.err.empty() ? io.out : io.err)
{
    pid_ = spawn_child({path}, io, {}, "the daemon ");
}

Daemon::~Daemon()
{
    const pid_t pid = pid_;
    if (pid > 0 && stop() < 0)
        fprintf(stderr, "bench: daemon %d killed, it did not stop on SIGUSR1\n", static_cast<int>(pid));
}

int Daemon::exited()
{
    int st = 0;
    if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return pid_ > 0 ? -1 : status_;
}

int Daemon::stop(std::chrono::milliseconds limit)
{
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGUSR1);
    // A fine poll: the stop itself is one of the figures.
    for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(100us))
        if (exited() >= 0)
            return status_;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

void Daemon::stop_in_order()
{
    const int status = stop();
    if (status != 0)
        fail("the daemon did not stop in order (status " + std::to_string(status) + "); see " + log_);
}

Probes::Probes(const std::vector<std::string> &commands, pid_t daemon)
{
    for (const std::string &c : commands) {
        std::vector<std::string> words;
        std::istringstream in(c);
        for (std::string w; in >> w;)
            words.push_back(w == "{pid}" ? std::to_string(daemon) : w);
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (argv.size() < 2 || posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            fail("cannot start the probe '" + c + "'");
        pids_.push_back(pid);
    }
    if (!pids_.empty())
        std::this_thread::sleep_for(500ms);
}

Probes::~Probes()
{
    for (pid_t pid : pids_)
        kill(pid, SIGINT);
    for (pid_t pid : pids_)
        waitpid(pid, nullptr, 0);
}

Receipt wait_ready(JournalFollower &journal, Daemon &daemon, const std::string &log)
{
    size_t next = journal.count();
    const auto end = Clock::now() + 30s;
    for (;;) {
        if (auto r = journal.wait(next, is_call("set_router_info"), 50ms))
            return *r;
        if (const int st = daemon.exited(); st >= 0)
            fail("the daemon ended with status " + std::to_string(st) + " before it was ready; see " + log);
        if (Clock::now() > end)
            fail("the daemon pushed no router info within 30 s of its start; see " + log);
    }
}

Q7Server::Q7Server(const std::string &source_dir, const std::string &dir, const std::string &log, bool keep)
    : script_(source_dir + "/host/q7/q7-server"), dir_(dir), log_(log), keep_(keep)
{
}

Q7Server::~Q7Server()
{
    if (tried_)
        stop();
}

int Q7Server::run(const char *verb, bool aof)
{
    std::vector<std::string> argv{script_, verb, "--dir", dir_, "--socket", socket()};
    if (aof)
        argv.push_back("--aof");
    return run_child(argv, {log_, "", true});
}

bool Q7Server::start()
{
    up_ = run("start", keep_) == 0;
    tried_ = true;  // not when the script could not be run: nothing to stop then
    return up_;
}

void Q7Server::stop()
{
    run("stop", false);
    up_ = false;
}

Agent::Agent(const std::string &path, const std::string &socket, const std::vector<std::string> &args,
             const std::string &log, const std::string &launcher)
    : argv_{path, "--foreground", "--socket", socket}, socket_(socket), log_(log)
{
    if (!launcher.empty())
        argv_.insert(argv_.begin(), launcher);
    argv_.insert(argv_.end(), args.begin(), args.end());
}

Agent::~Agent()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

bool Agent::start(std::chrono::milliseconds limit)
{
    unlink(socket_.c_str());  // a killed agent leaves its socket behind
    pid_ = spawn_child(argv_, {log_, "", true});
    for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(20ms))
        if (agent_state(socket_)) {
            up_ = true;
            return true;
        }
    return false;
}

void Agent::kill_hard()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    up_ = false;
}

std::string bin_dir()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

std::string source_dir()
{
    return TSH_BENCH_SOURCE_DIR;
}

namespace {

// Made first: the logs are opened in it before the server makes it. Named
// from the root, as the daemon changes its directory.
std::string made(const std::string &dir)
{
    std::filesystem::create_directories(dir);
    return std::filesystem::absolute(dir).string();
}

}  // namespace

OwnLab::OwnLab(const std::string &source_dir, const std::string &dir, const std::string &agent,
               const std::string &launcher)
    : dir_(made(dir)), launcher_(launcher),
      q7_(source_dir, dir_, dir_ + "/q7-server.log", false)
{
    if (!q7_.start())
        fail("the Q7 server did not start; see " + dir_ + "/q7-server.log");
    setenv("Q7_SOCKET", q7_.socket().c_str(), 1);
    if (agent.empty())
        return;
    const std::string socket = dir_ + "/agent.sock";
    agent_.emplace(agent, socket, std::vector<std::string>{}, dir_ + "/agent.log", launcher);
    // Under an emulator the agent takes seconds to answer.
    if (!agent_->start(30s))
        fail("the agent did not answer on " + socket + " within 30 s; see " + dir_ + "/agent.log");
    setenv("SA_AGENT_SOCKET", socket.c_str(), 1);
}

void OwnLab::load(const std::string &file)
{
    std::vector<std::string> argv{bin_dir() + "/q7ctl", "load", file};
    if (!launcher_.empty())
        argv.insert(argv.begin(), launcher_);
    if (run_child(argv, {dir_ + "/q7ctl.log", "", true}) != 0)
        fail("q7ctl load " + file + " failed; see " + dir_ + "/q7ctl.log");
}

}  // namespace bench
