#include "private_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QString>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quorin::udiskstest {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(20);

// Starts argv with extra environment entries; stdout goes to outFd (or stays) and stderr to
// errFile (or stays). The process ends with this one, even if a test crashes. Returns the pid or
// -1.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            int outFd, const char* errFile) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : extraEnv)
        envp.push_back(const_cast<char*>(e.c_str()));
    for (char** e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // The child: only async-signal-safe calls until exec.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) ::_exit(127);
    if (outFd >= 0 && ::dup2(outFd, STDOUT_FILENO) < 0) ::_exit(127);
    if (errFile) {
        const int err = ::open(errFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (err < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(127);
    }
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

void Stop(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

bool RunsQuietly(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

std::string PythonWithDbusmock() {
    for (const char* python : {"/usr/bin/python3", "python3"})
        if (RunsQuietly(std::string(python) + " -c 'import dbusmock'")) return python;
    return {};
}

PrivateBus::~PrivateBus() {
    Stop(mock_);
    Stop(daemon_);
}

bool PrivateBus::Start(const std::string& mockParameters, const std::string& logFile) {
    if (!StartDaemon()) return false;
    return mockParameters.empty() || StartMock(mockParameters, logFile);
}

bool PrivateBus::StartDaemon() {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        problem_ = "no pipe";
        return false;
    }
    daemon_ = Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"},
                    {}, pipeFds[1], "/dev/null");
    ::close(pipeFds[1]);
    // The daemon prints its address as one line once it listens.
    std::string line;
    char c = 0;
    while (daemon_ > 0 && ::read(pipeFds[0], &c, 1) == 1 && c != '\n')
        line += c;
    ::close(pipeFds[0]);
    if (daemon_ <= 0 || line.empty()) {
        problem_ = "dbus-daemon is not installed or did not start (package dbus-daemon)";
        return false;
    }
    address_ = line;
    return true;
}

bool PrivateBus::StartMock(const std::string& mockParameters, const std::string& logFile) {
    const std::string python = PythonWithDbusmock();
    if (python.empty()) {
        problem_ = "python3-dbusmock is not installed";
        return false;
    }
    mock_ = Spawn({python, "-m", "dbusmock", "--session", "-t", QUORIN_UDISKS_MOCK, "-l", logFile,
                   "-p", mockParameters},
                  {"DBUS_SESSION_BUS_ADDRESS=" + address_}, -1, (logFile + ".err").c_str());
    if (mock_ <= 0) {
        problem_ = "cannot start " + python;
        return false;
    }
    return WaitForService();
}

bool PrivateBus::WaitForService() {
    const QString address = QString::fromStdString(address_);
    QDBusConnection bus = QDBusConnection::connectToBus(address, "udisks-test " + address);
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (bus.isConnected() &&
            bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.UDisks2")))
            return true;
        int status = 0;
        if (::waitpid(mock_, &status, WNOHANG) == mock_) {
            mock_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    problem_ = "the mocked UDisks2 service did not start";
    return false;
}

} // namespace quorin::udiskstest
