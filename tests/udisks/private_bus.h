// A private D-Bus for the UDisks2 tests: its own dbus-daemon and, on it, the UDisks2 service of
// udisks2_mock.py run by python3-dbusmock. Both processes end with the object.
#pragma once

#include <string>
#include <sys/types.h>

namespace quorin::udiskstest {

class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Starts the bus and, unless mockParameters is empty, the mocked service with those JSON
    // parameters; the mock's method calls are logged to logFile. False with Problem() set when
    // dbus-daemon or python3-dbusmock is missing or does not start.
    bool Start(const std::string& mockParameters, const std::string& logFile);

    const std::string& Address() const { return address_; }
    const std::string& Problem() const { return problem_; }

private:
    bool StartDaemon();
    bool StartMock(const std::string& mockParameters, const std::string& logFile);
    bool WaitForService();

    pid_t daemon_ = -1;
    pid_t mock_ = -1;
    std::string address_;
    std::string problem_;
};

// A Python 3 that can import dbusmock (the system one first: a user's own Python may lack it);
// empty when there is none.
std::string PythonWithDbusmock();

} // namespace quorin::udiskstest
